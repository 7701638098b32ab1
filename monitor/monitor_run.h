// A monitoring run: what lies between one start of monitoring and its stop.
// Every monitor thread belongs to the run that started it. The stop marks
// the run stopped and sets its event; from then on the run's threads act no
// more, not even one that was inside a slow call when the stop came and was
// left to finish it on its own. A later start makes a new run, so such a
// thread never takes the new run for its own.
#pragma once

#include <windows.h>

#include <atomic>

namespace tw {

struct MonitorRun {
    HANDLE stopEvent; // manual reset, set by the stop
    std::atomic<bool> stopped;
    volatile LONG references;
};

// A new run with one reference, the caller's; null when no event can be made.
MonitorRun* NewRun();
void HoldRun(MonitorRun* run);
// The last reference closes the event and frees the run.
void ReleaseRun(MonitorRun* run);
// Marks the run stopped under the table lock, so that a record write of one
// of its threads that checked RunGoesOn under that lock is complete before
// this returns and none follows; then sets its event.
void StopRun(MonitorRun* run);

// The calling thread's run; the monitor thread sets it once at its start.
void SetThreadRun(MonitorRun* run);
// Whether the calling thread may still act: a thread of no run (the window's
// thread, a test's) always may, a monitor thread until its run stops.
bool RunGoesOn();
// The calling thread's run's stop event; null on a thread of no run.
HANDLE RunStopEvent();
// Waits at most ms for object (null: only the time) or for the calling
// thread's run to stop: WAIT_OBJECT_0 for the object, WAIT_ABANDONED when
// the run stopped, WAIT_TIMEOUT, or WAIT_FAILED.
DWORD WaitUnlessStopped(HANDLE object, DWORD ms);

} // namespace tw
