// Reference-counted strings: CStrW holds UTF-16 text, CStrA 8-bit text in
// GB18030 (core/gb18030.h: code page 936's bytes for Chinese text, and a form
// for every other character). A string is one pointer to a
// record that carries length, count, text pointer and capacity, with the text
// in the same heap block right after them.
//
// Copies share the record. A change to a string whose record is shared first
// gives it a copy of its own, so the other holders never see it. Counts are
// plain integers: two threads must never copy or release strings that share
// a record at the same time.
#pragma once

#include "core/compiler.h"

#include <stddef.h>
#include <stdint.h>

namespace tw {

// Growth slack of the appends: building a text piece by piece reallocates
// rarely, and never by doubling.
constexpr size_t kAppendSlack = 4096;
// A formatted text gets a buffer of at least this many characters (259 and
// the zero), a longer one when it needs more.
constexpr size_t kFormatBufferChars = 260;

template <typename Ch> struct StringRecord {
    size_t length;    // characters in use, without the terminating zero
    int32_t refCount; // string objects holding this record
    Ch* text;         // points just past this header, in the same block
    size_t capacity;  // characters the buffer holds, the zero included
};

template <typename Ch> class CStrT {
public:
    CStrT() = default;
    CStrT(const Ch* text) { AssignChars(text, 0); }
    CStrT(const Ch* text, size_t count) { AssignChars(text, count); }
    CStrT(const CStrT& other);
    CStrT(CStrT&& other) noexcept : m_rec(other.m_rec) { other.m_rec = nullptr; }
    CStrT& operator=(const CStrT& other);
    CStrT& operator=(CStrT&& other) noexcept;
    ~CStrT() { Release(); }

    // Makes room for n characters and returns the buffer. Grows to exactly
    // n + 1; the length and text are kept.
    Ch* Reserve(size_t n);
    // Replaces the content. A count of 0 with a non-null text measures it; a
    // null text with count 0 leaves an empty string that has a record.
    CStrT& AssignChars(const Ch* text, size_t count);
    // Appends; a count of 0 measures the text. Nothing to append leaves the
    // string untouched (a null string stays null).
    CStrT& AppendChars(const Ch* text, size_t count);
    CStrT& AppendInt64(long long value);
    CStrT& AppendUInt32(unsigned long value);
    CStrT& AppendUInt64(unsigned long long value);
    // printf-style, replacing the content, however long the text. Returns the
    // characters written, or -1 when the pattern is bad or there is no memory.
    int Format(const Ch* pattern, ...);
    int FormatArgs(const Ch* pattern, va_list args);
    // After a system call wrote k characters into the buffer from Reserve.
    void SetLength(size_t k);
    // Drops this object's reference; the string becomes null.
    void Release();

    bool IsNull() const { return m_rec == nullptr; }
    bool IsEmpty() const { return !m_rec || m_rec->length == 0 || m_rec->text[0] == 0; }
    size_t Length() const { return m_rec ? m_rec->length : 0; }
    size_t Capacity() const { return m_rec ? m_rec->capacity : 0; }
    int32_t RefCount() const { return m_rec ? m_rec->refCount : 0; }
    // The text, or null for a null string (what the system expects then).
    const Ch* Text() const { return m_rec ? m_rec->text : nullptr; }
    // The text, or "" for a null string.
    const Ch* c_str() const { return m_rec ? m_rec->text : EmptyText(); }
    // The writable buffer (detached from other holders); null for a null string.
    Ch* Buffer();
    const StringRecord<Ch>* Record() const { return m_rec; }

private:
    using Record_t = StringRecord<Ch>;
    static const Ch* EmptyText();
    static Record_t* AllocateRecord(size_t capacity);
    static void FreeRecord(Record_t* rec);
    bool Detach();
    void AppendFormatted(const Ch* digits, int written);

    Record_t* m_rec = nullptr;
};

using CStrW = CStrT<wchar_t>;
using CStrA = CStrT<char>;

// GB18030 conversions, the only place where the two kinds of text meet.
// Every Unicode text comes back from ToWide(ToNarrow(text)) as it was, but
// for an unpaired surrogate, which becomes '?'.
CStrA ToNarrow(const CStrW& text);
CStrA ToNarrow(const wchar_t* text);
CStrW ToWide(const CStrA& text);
// Whether text comes back unchanged from ToNarrow and ToWide.
bool NarrowKeeps(const CStrW& text);
// The code page 936 bytes of text (the length it has, or up to its zero when
// that is 0), only when code page 936 holds every character of it exactly,
// without stand-ins such as "U" for "Ü"; otherwise false, and *bytes is left
// alone.
bool ToCodePage936(const CStrW& text, CStrA* bytes);

// printf-style into a caller's buffer of size characters; -1 when cut.
int FormatToBuffer(wchar_t* buffer, size_t size, const wchar_t* pattern, ...);
int FormatToBuffer(char* buffer, size_t size, const char* pattern, ...) TW_PRINTF_LIKE(3, 4);

} // namespace tw
