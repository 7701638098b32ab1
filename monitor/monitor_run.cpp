#include "monitor/monitor_run.h"

#include "core/handle.h"
#include "monitor/program_table.h"

namespace tw {

namespace {

// The run of each monitor thread. Thread local storage of the system's own
// rather than the compiler's: the threads are plain CreateThread threads.
DWORD RunSlot()
{
    static DWORD slot = TlsAlloc();
    return slot;
}

MonitorRun* ThreadRun()
{
    DWORD slot = RunSlot();
    return slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<MonitorRun*>(TlsGetValue(slot));
}

} // namespace

MonitorRun* NewRun()
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return nullptr;
    auto* run = new MonitorRun;
    run->stopEvent = event;
    run->stopped = false;
    run->references = 1;
    return run;
}

void HoldRun(MonitorRun* run)
{
    if (run)
        InterlockedIncrement(&run->references);
}

void ReleaseRun(MonitorRun* run)
{
    if (!run || InterlockedDecrement(&run->references) != 0)
        return;
    CloseHandle(run->stopEvent);
    delete run;
}

void StopRun(MonitorRun* run)
{
    if (!run)
        return;
    {
        CLock lock(TableLock());
        run->stopped = true;
    }
    SetEvent(run->stopEvent);
}

void SetThreadRun(MonitorRun* run)
{
    DWORD slot = RunSlot();
    if (slot != TLS_OUT_OF_INDEXES)
        TlsSetValue(slot, run);
}

bool RunGoesOn()
{
    MonitorRun* run = ThreadRun();
    return !run || !run->stopped.load();
}

HANDLE RunStopEvent()
{
    MonitorRun* run = ThreadRun();
    return run ? run->stopEvent : nullptr;
}

DWORD WaitUnlessStopped(HANDLE object, DWORD ms)
{
    HANDLE stop = RunStopEvent();
    HANDLE handles[2];
    DWORD count = 0;
    if (object)
        handles[count++] = object;
    if (stop)
        handles[count++] = stop;
    if (count == 0) {
        Sleep(ms);
        return WAIT_TIMEOUT;
    }
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, ms);
    if (result < WAIT_OBJECT_0 + count && handles[result - WAIT_OBJECT_0] == stop)
        return WAIT_ABANDONED;
    return result;
}

} // namespace tw
