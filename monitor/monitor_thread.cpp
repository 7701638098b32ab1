#include "config/config.h"
#include "core/guard.h"
#include "core/path.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/backoff.h"
#include "monitor/launch.h"
#include "monitor/memory_ceiling.h"
#include "monitor/monitor.h"
#include "monitor/placement.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"

namespace tw {

std::atomic<LONG> g_monitoring{0};
MonitorStats g_monitorStats;
size_t g_periodMs = 5000;
DWORD g_hangGraceMs = 5000;

namespace {

struct MonitorThreadParam {
    size_t index;
    size_t periodMs;
    size_t reserved;
};

// A quiet stop should take a few hundred milliseconds; a thread still busy
// after this long of no messages at all is ended by force.
constexpr DWORD kQuietBeforeTerminate = 5000;
constexpr DWORD kLongestStop = 15000;

bool WatchRunningChecked()
{
    return g_watchRunning.load(std::memory_order_relaxed);
}

// Writes the hint line; with a watch, a text this thread has just written
// there is not written again.
void SetHint(const wchar_t* text, InstanceWatch* watch)
{
    HWND hint = g_hintLine;
    if (!hint)
        return;
    if (watch && watch->hintWrittenTo == hint && wcscmp(watch->hintWritten, text) == 0)
        return;
    SetWindowTextW(hint, text);
    if (watch) {
        wcsncpy_s(watch->hintWritten, text, _TRUNCATE);
        watch->hintWrittenTo = hint;
    }
}

void NoteCycle(ULONGLONG ms)
{
    g_monitorStats.cycles.fetch_add(1, std::memory_order_relaxed);
    unsigned long long longest = g_monitorStats.longestCycleMs.load(std::memory_order_relaxed);
    while (ms > longest && !g_monitorStats.longestCycleMs.compare_exchange_weak(longest, ms)) {
    }
}

// waitMs, or less: the stop ends it at once, and an exit of the program
// ends it early, for the cycle to start the program again or to fix when.
void WaitPeriod(HANDLE timer, HANDLE wake, size_t waitMs)
{
    HANDLE handles[3] = {MonitoringStopEvent(), timer, wake};
    DWORD count = wake ? 3 : 2;
    DWORD timeout = INFINITE;
    if (timer) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(waitMs) * 10000;
        if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
            timer = nullptr;
    }
    if (!timer) {
        // No timer: the wait's own time-out keeps the time.
        handles[1] = wake;
        count = wake ? 2 : 1;
        timeout = static_cast<DWORD>(waitMs);
    }
    if (g_monitoring.load(std::memory_order_relaxed) != 1)
        return;
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout);
    g_monitorStats.wakeups.fetch_add(1, std::memory_order_relaxed);
    if (result == WAIT_FAILED)
        Sleep(100);
}

// One period, or until a held restart is due.
size_t WaitAfterCycle(size_t index, size_t periodMs)
{
    ULONGLONG due = HeldRestartTick(index);
    ULONGLONG now = GetTickCount64();
    return due > now ? static_cast<size_t>(due - now) : periodMs;
}

void RunCycles(const MonitorThreadParam& param)
{
    CHandle timer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    InstanceWatch watch;
    HANDLE wake = nullptr;
    {
        CLock lock(TableLock());
        if (param.index < g_programCount)
            wake = g_monitorList.At(param.index).wakeEvent;
    }
    while (g_monitoring.load(std::memory_order_relaxed) == 1) {
        ULONGLONG cycleStart = GetTickCount64();
        if (!CheckRunning(param.index, watch)) {
            CheckErrorDialog(param.index);
            bool pending = false;
            {
                CLock lock(TableLock());
                pending = param.index < g_programCount && g_monitorList.At(param.index).pendingHangTimer;
            }
            if (!pending)
                CheckHang(param.index);
            CheckMemoryCeiling(param.index);
        }
        // Also right after a start: the new window goes back at once.
        KeepWindowPlace(param.index);
        NoteCycle(GetTickCount64() - cycleStart);
        WaitPeriod(timer.Get(), wake, WaitAfterCycle(param.index, param.periodMs));
    }
}

DWORD WINAPI MonitorThreadProc(void* parameter)
{
    auto* param = static_cast<MonitorThreadParam*>(parameter);
    if (!param)
        return 0;
    Guarded(L"监控线程", [&] { RunCycles(*param); });
    delete param;
    return 0;
}

// Waits for a thread while dispatching this thread's messages: the monitor
// threads send messages to the main window's controls.
void WaitForThreadPumping(HANDLE thread)
{
    ULONGLONG start = GetTickCount64();
    ULONGLONG quietSince = start;
    for (;;) {
        DWORD result = MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_ALLINPUT);
        // Checked apart from the wait's answer: with input always pending,
        // the wait may report the input and never the thread's end.
        if (result == WAIT_OBJECT_0 || WaitForSingleObject(thread, 0) == WAIT_OBJECT_0)
            return;
        if (result == WAIT_OBJECT_0 + 1) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            quietSince = GetTickCount64();
        }
        if (result == WAIT_FAILED && GetLastError() == ERROR_INVALID_HANDLE)
            return;
        ULONGLONG now = GetTickCount64();
        if (result == WAIT_FAILED || now - quietSince >= kQuietBeforeTerminate || now - start >= kLongestStop) {
            Trace(L"停止监控", L"监控线程未能结束, 强制结束");
            TerminateThread(thread, static_cast<DWORD>(-1));
            return;
        }
    }
}

} // namespace

HANDLE MonitoringStopEvent()
{
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

size_t PeriodFromSetting(long long seconds)
{
    return static_cast<size_t>(seconds >= 1 ? seconds : 5) * 1000;
}

DWORD GraceFromSetting(long long seconds)
{
    return static_cast<DWORD>(seconds >= 1 ? seconds : 5) * 1000;
}

void BeginMonitoring()
{
    g_periodMs = PeriodFromSetting(g_config.GetInt(0, "monitortime", 5));
    g_hangGraceMs = GraceFromSetting(g_config.GetInt(0, "unresponsetime", 5));
    ResetEvent(MonitoringStopEvent());
    g_monitoring = 1;
}

bool StartMonitorThread(size_t index)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return false;
    CMonitorItem& record = g_monitorList.At(index);
    if (record.monitorThread && WaitForSingleObject(record.monitorThread, 0) == WAIT_TIMEOUT)
        return true;
    if (record.monitorThread) {
        CloseHandle(record.monitorThread);
        record.monitorThread = nullptr;
    }
    if (!record.wakeEvent)
        record.wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Monitoring started anew tries a program held back by its backoff at
    // once; the steps counted so far stay.
    record.restartDueTick = 0;
    auto* param = new MonitorThreadParam{index, g_periodMs, 0};
    record.monitorThread = CreateThread(nullptr, 0, MonitorThreadProc, param, 0, nullptr);
    if (!record.monitorThread) {
        delete param;
        return false;
    }
    return true;
}

void StartMonitoringAll()
{
    BeginMonitoring();
    for (size_t i = 0; i < g_programCount; ++i) {
        SaveMonitorList(i);
        StartMonitorThread(i);
    }
    g_config.Save();
    NotifyProgramsChanged();
}

void EndMonitoring()
{
    g_monitoring = 0;
    SetEvent(MonitoringStopEvent());
    CancelPendingKills();
    for (size_t i = 0;; ++i) {
        HANDLE thread = nullptr;
        {
            CLock lock(TableLock());
            if (i >= g_programCount)
                break;
            thread = g_monitorList.At(i).monitorThread;
        }
        if (thread)
            WaitForThreadPumping(thread);
        CLock lock(TableLock());
        CMonitorItem& record = g_monitorList.At(i);
        if (record.monitorThread) {
            CloseHandle(record.monitorThread);
            record.monitorThread = nullptr;
        }
        if (record.wakeEvent) {
            CloseHandle(record.wakeEvent);
            record.wakeEvent = nullptr;
        }
    }
    // A thread may have armed a kill while the others were being waited for.
    CancelPendingKills();
}

// Whether record index's process runs its executable. A new instance (or a
// first look) opens the process and compares its path once; after that,
// only whether it has ended is asked.
bool InstanceRuns(size_t index, InstanceWatch& watch)
{
    DWORD processId = ProgramProcessId(index);
    if (!watch.looked || processId != watch.processId) {
        watch.looked = true;
        watch.processId = processId;
        watch.process.Reset(processId ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId)
                                      : nullptr);
        CStrW recorded = CopyProgramText(index, &CMonitorItem::path);
        watch.nothingToStart = recorded.IsEmpty();
        watch.runsPath = watch.process && WaitForSingleObject(watch.process.Get(), 0) == WAIT_TIMEOUT &&
                         SamePath(recorded.c_str(), GetProcessImagePath(watch.process.Get()).c_str());
    }
    // An entry without a path has nothing to start.
    if (watch.nothingToStart)
        return true;
    return watch.runsPath && WaitForSingleObject(watch.process.Get(), 0) == WAIT_TIMEOUT;
}

int CheckRunning(size_t index, InstanceWatch& watch)
{
    int restarted = 0;
    if (WatchRunningChecked()) {
        if (InstanceRuns(index, watch)) {
            NoteProgramRunning(index);
        } else if (RestartHeldBack(index)) {
            restarted = 1;
        } else {
            SetHint(L"检测到程序未运行,系统将自动运行", &watch);
            StartProgram(index);
            restarted = 1;
        }
    }
    CStrW count;
    count.Format(L"监控已开启,监控数量为：%d 个程序", static_cast<int>(g_programCount.load()));
    SetHint(count.c_str(), &watch);
    return restarted;
}

} // namespace tw
