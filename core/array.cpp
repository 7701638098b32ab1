#include "core/array.h"

#include <windows.h>

#include <string.h>

namespace tw {

namespace {

void* AllocateZeroed(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}
void FreeBlock(void* block)
{
    HeapFree(GetProcessHeap(), 0, block);
}

} // namespace

bool CArrayBase::Create()
{
    if (m_header)
        return true;
    size_t storage = kArrayGrowStep * m_elementSize;
    auto* header = static_cast<ArrayHeader*>(AllocateZeroed(sizeof(ArrayHeader) + storage));
    if (!header)
        return false;
    header->tag = kArrayTag;
    header->data = header + 1;
    header->elementSize = m_elementSize;
    header->capacityBytes = storage;
    header->blockBytes = sizeof(ArrayHeader) + storage;
    header->capacity = kArrayGrowStep;
    m_header = header;
    return true;
}

// The new block is zeroed, so the slots past the old capacity start as zero
// records; the old block's bytes move over whole.
bool CArrayBase::Grow(size_t newCapacity)
{
    size_t storage = newCapacity * m_elementSize;
    auto* header = static_cast<ArrayHeader*>(AllocateZeroed(sizeof(ArrayHeader) + storage));
    if (!header)
        return false;
    memcpy(header, m_header, m_header->blockBytes);
    FreeBlock(m_header);
    header->data = header + 1;
    header->capacityBytes = storage;
    header->blockBytes = sizeof(ArrayHeader) + storage;
    header->capacity = newCapacity;
    m_header = header;
    return true;
}

void CArrayBase::ReleaseRange(size_t from, size_t to)
{
    if (!m_release)
        return;
    for (size_t i = from; i < to; ++i)
        m_release(i, Slot(i));
}

// Growth adds whole steps of 100 to the current count until n fits:
// count + ((n - count - 1) / 100 + 1) * 100.
size_t CArrayBase::ResizeArray(size_t n)
{
    if (!m_header && !Create())
        return 0;
    size_t count = m_header->count;
    if (n == count)
        return n;
    if (n < count) {
        ReleaseRange(n, count);
        memset(Slot(n), 0, (m_header->capacity - n) * m_elementSize);
        m_header->count = n;
        return n;
    }
    if (n < m_header->capacity) {
        m_header->count = n;
        return n;
    }
    size_t newCapacity = count + ((n - count - 1) / kArrayGrowStep + 1) * kArrayGrowStep;
    if (!Grow(newCapacity))
        return count;
    m_header->count = n;
    return newCapacity;
}

ptrdiff_t CArrayBase::RemoveAt(size_t i)
{
    if (!m_header || i >= m_header->count)
        return -1;
    ReleaseRange(i, i + 1);
    size_t last = m_header->count - 1;
    if (i < last)
        memmove(Slot(i), Slot(i + 1), (last - i) * m_elementSize);
    memset(Slot(last), 0, m_elementSize);
    m_header->count = last;
    return static_cast<ptrdiff_t>(last);
}

bool CArrayBase::AppendBytes(const void* record)
{
    if (!m_header && !Create())
        return false;
    size_t count = m_header->count;
    if (count == m_header->capacity) {
        ResizeArray(count + kArrayGrowStep);
        if (m_header->capacity == count)
            return false;
        m_header->count = count;
    }
    memcpy(Slot(count), record, m_elementSize);
    m_header->count = count + 1;
    return true;
}

void* CArrayBase::ElementAt(size_t i) const
{
    if (!m_header || i >= m_header->count)
        throw IndexOutOfRange(i);
    return Slot(i);
}

void CArrayBase::Destroy()
{
    if (!m_header)
        return;
    ReleaseRange(0, m_header->count);
    FreeBlock(m_header);
    m_header = nullptr;
}

} // namespace tw
