// Growable arrays of fixed-size plain records in one heap block (header and
// storage together), with every element access checked.
//
// Records are moved bytewise when the block grows, and every slot past the
// count is all-zero bytes, so a slot that comes into use starts as a zero
// record: null strings, null handles, zero numbers. Records may therefore
// hold CStrW members (one pointer each) but nothing that points into itself.
// No lock of its own: the owners say who may touch an array when.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <exception>
#include <type_traits>

namespace tw {

constexpr size_t kArrayGrowStep = 100;
constexpr uint32_t kArrayTag = 125;

struct ArrayHeader {
    size_t count;
    uint32_t tag;
    void* data; // just past the header, in the same block
    size_t elementSize;
    size_t capacityBytes;
    size_t blockBytes;
    size_t capacity;
};

// Releases what a dropped element owns; called with the element's index.
using ElementReleaseFn = void (*)(size_t index, void* element);

// An element access outside the array: a programming error, never a user
// condition. Callers keep their indices below the count.
class IndexOutOfRange : public std::exception {
public:
    explicit IndexOutOfRange(size_t i) : index(i) {}
    const char* what() const noexcept override { return "array index out of range"; }
    size_t index;
};

class CArrayBase {
public:
    constexpr CArrayBase(size_t elementSize, ElementReleaseFn release) : m_elementSize(elementSize), m_release(release)
    {}

    // Creates the empty array with room for 100 elements if it does not exist.
    bool Create();
    // Sets the count; see the .cpp for the growth rule. Returns the new
    // capacity when the block grew, n otherwise.
    size_t ResizeArray(size_t n);
    // Returns the new count, or -1 when there is no element i.
    ptrdiff_t RemoveAt(size_t i);
    // Copies the record's bytes into a new slot at the end.
    bool AppendBytes(const void* record);
    // Checked access: throws IndexOutOfRange(i) when there is no element i.
    void* ElementAt(size_t i) const;

    size_t Count() const { return m_header ? m_header->count : 0; }
    size_t Capacity() const { return m_header ? m_header->capacity : 0; }
    bool Exists() const { return m_header != nullptr; }
    const ArrayHeader* Header() const { return m_header; }
    void SetReleaseFn(ElementReleaseFn release) { m_release = release; }

    // Releases every element and frees the block. Arrays normally live until
    // the process ends; this is for owners with a shorter life (and tests).
    void Destroy();

private:
    bool Grow(size_t newCapacity);
    void ReleaseRange(size_t from, size_t to);
    unsigned char* Slot(size_t i) const { return static_cast<unsigned char*>(m_header->data) + i * m_elementSize; }

    ArrayHeader* m_header = nullptr;
    size_t m_elementSize;
    ElementReleaseFn m_release;
};

template <typename T> class CArray : public CArrayBase {
public:
    constexpr explicit CArray(ElementReleaseFn release = nullptr) : CArrayBase(sizeof(T), release) {}

    T& At(size_t i) const { return *static_cast<T*>(ElementAt(i)); }

    // Takes a record with strings over: its bytes move into the array and the
    // source is left all-zero, so its strings are owned once.
    template <typename U = T, typename = std::enable_if_t<!std::is_trivially_copyable<U>::value>> bool Append(T& record)
    {
        if (!AppendBytes(&record))
            return false;
        ZeroRecord(record);
        return true;
    }

    // Plain values (handles, ids) are simply copied.
    template <typename U = T, typename = std::enable_if_t<std::is_trivially_copyable<U>::value>>
    bool Append(const T& value)
    {
        return AppendBytes(&value);
    }

private:
    static void ZeroRecord(T& record);
};

} // namespace tw

#include <string.h>

template <typename T> void tw::CArray<T>::ZeroRecord(T& record)
{
    memset(static_cast<void*>(&record), 0, sizeof(T));
}
