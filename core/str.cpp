#include "core/str.h"

#include "core/gb18030.h"

#include <windows.h>

#include <limits.h>
#include <string.h>
#include <wchar.h>

namespace tw {

namespace {

// Room for every 64-bit value: "-9223372036854775808" has 20 characters.
constexpr size_t kNumberChars = 24;

size_t Measure(const wchar_t* text)
{
    return wcslen(text);
}
size_t Measure(const char* text)
{
    return strlen(text);
}

// The characters the pattern and its arguments make, without the zero; -1
// for a bad pattern.
int CountFormatted(const wchar_t* pattern, va_list args)
{
    return _vscwprintf(pattern, args);
}
int CountFormatted(const char* pattern, va_list args)
{
    return _vscprintf(pattern, args);
}

// The same pattern in the string's own kind of characters.
template <typename V> int FormatNumber(wchar_t* digits, const wchar_t* pattern, const char*, V value)
{
    return FormatToBuffer(digits, kNumberChars, pattern, value);
}

template <typename V> int FormatNumber(char* digits, const wchar_t*, const char* pattern, V value)
{
    return FormatToBuffer(digits, kNumberChars, pattern, value);
}

void* AllocateZeroed(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}
void FreeBlock(void* block)
{
    HeapFree(GetProcessHeap(), 0, block);
}

} // namespace

template <typename Ch> const Ch* CStrT<Ch>::EmptyText()
{
    static const Ch empty[1] = {0};
    return empty;
}

// One zeroed block: the record and its buffer together.
template <typename Ch> StringRecord<Ch>* CStrT<Ch>::AllocateRecord(size_t capacity)
{
    auto* rec = static_cast<Record_t*>(AllocateZeroed(sizeof(Record_t) + capacity * sizeof(Ch)));
    if (!rec)
        return nullptr;
    rec->refCount = 1;
    rec->capacity = capacity;
    rec->text = reinterpret_cast<Ch*>(rec + 1);
    return rec;
}

template <typename Ch> void CStrT<Ch>::FreeRecord(Record_t* rec)
{
    FreeBlock(rec);
}

template <typename Ch> CStrT<Ch>::CStrT(const CStrT& other)
{
    if (other.m_rec) {
        m_rec = other.m_rec;
        ++m_rec->refCount;
    } else {
        // A copy of a null string is an empty string with a record of its own.
        Reserve(0);
    }
}

template <typename Ch> CStrT<Ch>& CStrT<Ch>::operator=(const CStrT& other)
{
    if (this == &other || m_rec == other.m_rec)
        return *this;
    Release();
    if (other.m_rec) {
        m_rec = other.m_rec;
        ++m_rec->refCount;
    } else {
        Reserve(0);
    }
    return *this;
}

template <typename Ch> CStrT<Ch>& CStrT<Ch>::operator=(CStrT&& other) noexcept
{
    if (this != &other) {
        Release();
        m_rec = other.m_rec;
        other.m_rec = nullptr;
    }
    return *this;
}

// A change never reaches the other holders of a shared record: the string
// takes a copy of its own first.
template <typename Ch> bool CStrT<Ch>::Detach()
{
    if (!m_rec || m_rec->refCount <= 1)
        return true;
    Record_t* own = AllocateRecord(m_rec->capacity);
    if (!own)
        return false;
    own->length = m_rec->length;
    memcpy(own->text, m_rec->text, m_rec->capacity * sizeof(Ch));
    --m_rec->refCount;
    m_rec = own;
    return true;
}

template <typename Ch> Ch* CStrT<Ch>::Buffer()
{
    return Detach() && m_rec ? m_rec->text : nullptr;
}

template <typename Ch> Ch* CStrT<Ch>::Reserve(size_t n)
{
    if (!Detach())
        return nullptr;
    if (!m_rec) {
        m_rec = AllocateRecord(n + 1);
        return m_rec ? m_rec->text : nullptr;
    }
    if (m_rec->capacity < n + 1) {
        Record_t* grown = AllocateRecord(n + 1);
        if (!grown)
            return nullptr;
        grown->length = m_rec->length;
        grown->refCount = m_rec->refCount;
        memcpy(grown->text, m_rec->text, m_rec->capacity * sizeof(Ch));
        FreeRecord(m_rec);
        m_rec = grown;
    }
    return m_rec->text;
}

template <typename Ch> CStrT<Ch>& CStrT<Ch>::AssignChars(const Ch* text, size_t count)
{
    if (count == 0 && text)
        count = Measure(text);
    Ch* buffer = Reserve(count);
    if (!buffer)
        return *this;
    memset(buffer, 0, m_rec->capacity * sizeof(Ch));
    if (count)
        memcpy(buffer, text, count * sizeof(Ch));
    m_rec->length = count;
    return *this;
}

template <typename Ch> CStrT<Ch>& CStrT<Ch>::AppendChars(const Ch* text, size_t count)
{
    if (count == 0 && text)
        count = Measure(text);
    if (count == 0 || !text)
        return *this;
    // The text may lie in this string's own buffer, which a regrow frees.
    const Ch* source = text;
    bool ownText = m_rec && text >= m_rec->text && text < m_rec->text + m_rec->capacity;
    size_t ownOffset = ownText ? static_cast<size_t>(text - m_rec->text) : 0;
    if (!m_rec && !Reserve(count + kAppendSlack))
        return *this;
    if (!Detach())
        return *this;
    if (m_rec->length + count + 1 > m_rec->capacity && !Reserve(m_rec->length + count + kAppendSlack))
        return *this;
    if (ownText)
        source = m_rec->text + ownOffset;
    memmove(m_rec->text + m_rec->length, source, count * sizeof(Ch));
    m_rec->length += count;
    return *this;
}

template <typename Ch> void CStrT<Ch>::AppendFormatted(const Ch* digits, int written)
{
    if (written > 0)
        AppendChars(digits, static_cast<size_t>(written));
}

template <typename Ch> CStrT<Ch>& CStrT<Ch>::AppendInt64(long long value)
{
    Ch digits[kNumberChars] = {0};
    AppendFormatted(digits, FormatNumber(digits, L"%lld", "%lld", value));
    return *this;
}

template <typename Ch> CStrT<Ch>& CStrT<Ch>::AppendUInt32(unsigned long value)
{
    Ch digits[kNumberChars] = {0};
    AppendFormatted(digits, FormatNumber(digits, L"%lu", "%lu", value));
    return *this;
}

template <typename Ch> CStrT<Ch>& CStrT<Ch>::AppendUInt64(unsigned long long value)
{
    Ch digits[kNumberChars] = {0};
    AppendFormatted(digits, FormatNumber(digits, L"%llu", "%llu", value));
    return *this;
}

template <typename Ch> int CStrT<Ch>::Format(const Ch* pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    int result = FormatArgs(pattern, args);
    va_end(args);
    return result;
}

template <typename Ch> int CStrT<Ch>::FormatArgs(const Ch* pattern, va_list args)
{
    // Counted first, so that no text is cut: a path of any length must not
    // hide the error code that follows it.
    va_list counting;
    va_copy(counting, args);
    int counted = CountFormatted(pattern, counting);
    va_end(counting);
    if (counted >= static_cast<int>(kFormatBufferChars)) {
        // Formatted into a record apart from this string's, which an argument
        // may be showing.
        CStrT longer;
        Ch* buffer = longer.Reserve(static_cast<size_t>(counted));
        if (!buffer)
            return -1;
        int result = FormatV(buffer, static_cast<size_t>(counted) + 1, pattern, args);
        longer.SetLength(Measure(buffer));
        *this = static_cast<CStrT&&>(longer);
        return result;
    }
    // Formatting goes through a local buffer first, so an argument may be
    // this very string's text.
    Ch local[kFormatBufferChars] = {0};
    int result = FormatV(local, kFormatBufferChars, pattern, args);
    if (!Detach())
        return -1;
    if (!m_rec) {
        if (!Reserve(kFormatBufferChars))
            return -1;
    } else if (m_rec->capacity < kFormatBufferChars) {
        Record_t* fresh = AllocateRecord(kFormatBufferChars);
        if (!fresh)
            return -1;
        fresh->refCount = m_rec->refCount;
        FreeRecord(m_rec);
        m_rec = fresh;
    }
    size_t length = Measure(local);
    memset(m_rec->text, 0, m_rec->capacity * sizeof(Ch));
    memcpy(m_rec->text, local, length * sizeof(Ch));
    m_rec->length = length;
    return result;
}

template <typename Ch> void CStrT<Ch>::SetLength(size_t k)
{
    if ((!m_rec && k == 0) || !Detach())
        return;
    if (!m_rec || k >= m_rec->capacity) {
        if (!Reserve(Capacity() + kAppendSlack) || k >= m_rec->capacity)
            return;
    }
    m_rec->length = k;
    memset(m_rec->text + k, 0, (m_rec->capacity - k) * sizeof(Ch));
}

template <typename Ch> void CStrT<Ch>::Release()
{
    if (!m_rec)
        return;
    if (m_rec->refCount <= 1)
        FreeRecord(m_rec);
    else
        --m_rec->refCount;
    m_rec = nullptr;
}

template class CStrT<wchar_t>;
template class CStrT<char>;

namespace {

size_t MeasuredLength(const CStrW& text)
{
    return text.Length() ? text.Length() : wcslen(text.Text());
}

CStrA EncodeNarrow(const wchar_t* text, size_t count)
{
    CStrA result;
    size_t size = EncodeGb18030(text, count, nullptr, nullptr);
    char* buffer = result.Reserve(size);
    if (!buffer)
        return result;
    EncodeGb18030(text, count, buffer, nullptr);
    result.SetLength(size);
    return result;
}

} // namespace

CStrA ToNarrow(const CStrW& text)
{
    if (text.IsNull())
        return CStrA();
    return EncodeNarrow(text.Text(), MeasuredLength(text));
}

CStrA ToNarrow(const wchar_t* text)
{
    if (!text || !*text) {
        CStrA empty;
        empty.AssignChars(nullptr, 0);
        return empty;
    }
    return EncodeNarrow(text, wcslen(text));
}

CStrW ToWide(const CStrA& text)
{
    CStrW result;
    if (text.IsNull())
        return result;
    size_t length = text.Length() ? text.Length() : strlen(text.Text());
    size_t size = DecodeGb18030(text.Text(), length, nullptr, nullptr);
    wchar_t* buffer = result.Reserve(size);
    if (!buffer)
        return result;
    DecodeGb18030(text.Text(), length, buffer, nullptr);
    result.SetLength(size);
    return result;
}

bool NarrowKeeps(const CStrW& text)
{
    bool lossless = true;
    if (!text.IsNull())
        EncodeGb18030(text.Text(), MeasuredLength(text), nullptr, &lossless);
    return lossless;
}

bool ToCodePage936(const CStrW& text, CStrA* bytes)
{
    size_t length = text.IsNull() ? 0 : MeasuredLength(text);
    if (length == 0) {
        bytes->AssignChars(nullptr, 0);
        return true;
    }
    if (length > INT_MAX)
        return false;
    int source = static_cast<int>(length);
    BOOL usedDefault = FALSE;
    int size = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, text.Text(), source, nullptr, 0, nullptr, &usedDefault);
    if (size <= 0 || usedDefault)
        return false;
    CStrA narrow;
    char* buffer = narrow.Reserve(static_cast<size_t>(size));
    if (!buffer ||
        WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, text.Text(), source, buffer, size, nullptr, &usedDefault) !=
            size ||
        usedDefault)
        return false;
    narrow.SetLength(static_cast<size_t>(size));
    // Read back as a check: what 936 writes must be what it reads.
    int back = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, buffer, size, nullptr, 0);
    if (back != source)
        return false;
    CStrW again;
    wchar_t* wide = again.Reserve(static_cast<size_t>(back));
    if (!wide || MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, buffer, size, wide, back) != back ||
        wmemcmp(wide, text.Text(), length) != 0)
        return false;
    *bytes = static_cast<CStrA&&>(narrow);
    return true;
}

int FormatToBuffer(wchar_t* buffer, size_t size, const wchar_t* pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    int result = FormatV(buffer, size, pattern, args);
    va_end(args);
    return result;
}

int FormatToBuffer(char* buffer, size_t size, const char* pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    int result = FormatV(buffer, size, pattern, args);
    va_end(args);
    return result;
}

} // namespace tw
