// Events on their way to the fleet's outputs (the event log, the metrics
// file, the webhook), handed over from the threads that log them to the
// thread of an output. Pushing never waits on an output: it takes only the
// queue's short lock, and a full queue drops its oldest event and counts it.
#pragma once

#include "core/handle.h"
#include "core/str.h"
#include "monitor/events.h"

#include <windows.h>

namespace tw {

// One log line as the outputs see it. Its strings belong to whichever thread
// holds the record: the queue copies them in and out in full, so no string
// is ever shared between two threads.
struct FleetEvent {
    unsigned long long number; // the log's number
    long long seconds;         // when (seconds since 1970, UTC)
    EventKind kind;
    int entry; // the program's entry number (index + 1); 0: none
    int check; // a health check's id; -1: none
    CStrW program;
    CStrW path;
    CStrW text;
};

// A deep copy: to's strings are its own afterwards.
void CopyFleetEvent(const FleetEvent& from, FleetEvent* to);

class CEventQueue {
public:
    explicit CEventQueue(size_t capacity);
    ~CEventQueue();
    CEventQueue(const CEventQueue&) = delete;
    CEventQueue& operator=(const CEventQueue&) = delete;

    // Any thread. A full queue first drops its oldest event.
    void Push(const FleetEvent& event);
    // A copy of the oldest event and how many were dropped before it since
    // the last one taken; false when the queue is empty.
    bool Peek(FleetEvent* event, unsigned long long* dropped) const;
    // Takes the oldest event away once its output is done with it, if it is
    // still the one numbered number (it may have been dropped meanwhile);
    // the drops reported with it are then settled.
    void Pop(unsigned long long number, unsigned long long reportedDrops);
    size_t Count() const;
    // Set while the queue holds an event (manual reset), for the consumer's
    // wait.
    HANDLE Ready() const { return m_ready.Get(); }
    void Clear();

private:
    mutable CCriticalSection m_lock;
    FleetEvent* m_ring;
    size_t m_capacity;
    size_t m_first = 0;
    size_t m_count = 0;
    unsigned long long m_dropped = 0;
    CHandle m_ready;
};

} // namespace tw
