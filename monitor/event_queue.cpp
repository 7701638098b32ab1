#include "monitor/event_queue.h"

namespace tw {

void CopyFleetEvent(const FleetEvent& from, FleetEvent* to)
{
    to->number = from.number;
    to->seconds = from.seconds;
    to->kind = from.kind;
    to->entry = from.entry;
    to->check = from.check;
    to->program.AssignChars(from.program.c_str(), 0);
    to->path.AssignChars(from.path.c_str(), 0);
    to->text.AssignChars(from.text.c_str(), 0);
}

CEventQueue::CEventQueue(size_t capacity)
    : m_ring(new FleetEvent[capacity ? capacity : 1]()), m_capacity(capacity ? capacity : 1),
      m_ready(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{}

CEventQueue::~CEventQueue()
{
    delete[] m_ring;
}

void CEventQueue::Push(const FleetEvent& event)
{
    CLock lock(m_lock);
    if (m_count == m_capacity) {
        m_first = (m_first + 1) % m_capacity;
        --m_count;
        ++m_dropped;
    }
    CopyFleetEvent(event, &m_ring[(m_first + m_count) % m_capacity]);
    // Set only when the queue was empty: it stays set until it is again, and
    // under Wine every SetEvent is a call to the server.
    if (++m_count == 1)
        SetEvent(m_ready.Get());
}

bool CEventQueue::Peek(FleetEvent* event, unsigned long long* dropped) const
{
    CLock lock(m_lock);
    if (!m_count)
        return false;
    CopyFleetEvent(m_ring[m_first], event);
    *dropped = m_dropped;
    return true;
}

void CEventQueue::Pop(unsigned long long number, unsigned long long reportedDrops)
{
    CLock lock(m_lock);
    m_dropped -= reportedDrops < m_dropped ? reportedDrops : m_dropped;
    if (m_count && m_ring[m_first].number == number) {
        m_ring[m_first].program.Release();
        m_ring[m_first].path.Release();
        m_ring[m_first].text.Release();
        m_first = (m_first + 1) % m_capacity;
        --m_count;
    }
    if (!m_count)
        ResetEvent(m_ready.Get());
}

size_t CEventQueue::Count() const
{
    CLock lock(m_lock);
    return m_count;
}

void CEventQueue::Clear()
{
    CLock lock(m_lock);
    for (; m_count; --m_count, m_first = (m_first + 1) % m_capacity) {
        m_ring[m_first].program.Release();
        m_ring[m_first].path.Release();
        m_ring[m_first].text.Release();
    }
    m_first = 0;
    m_dropped = 0;
    ResetEvent(m_ready.Get());
}

} // namespace tw
