#include "config/config.h"
#include "core/app_messages.h"
#include "core/guard.h"
#include "core/path.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/backoff.h"
#include "monitor/crash_reporter.h"
#include "monitor/launch.h"
#include "monitor/error_log.h"
#include "monitor/health_check.h"
#include "monitor/monitor.h"
#include "monitor/monitor_run.h"
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

// Handed to a monitor thread, which frees it: its program, the period, the
// run it belongs to (one reference) and its own handle to the record's wake
// event, so that the record may close its handle while the thread still
// runs.
struct MonitorThreadParam {
    size_t index;
    size_t periodMs;
    MonitorRun* run;
    HANDLE wake;
};

// The run of the monitoring now on; user interface thread only.
MonitorRun* g_currentRun = nullptr;

// How long a stop waits for all threads together before it leaves those
// still busy to finish on their own: a thread ends within a few hundred
// milliseconds of the stop unless a call it made is slow.
constexpr DWORD kStopWaitMs = 400;

// Posts the hint; with a watch, a hint this thread has just posted is not
// posted again.
void PostHint(WPARAM hint, InstanceWatch* watch)
{
    HWND window = g_engineWindow;
    if (!window || !RunGoesOn())
        return;
    if (watch && watch->hintPostedTo == window && watch->hintPosted == hint)
        return;
    PostMessageW(window, WM_TW_HINT, hint, 0);
    if (watch) {
        watch->hintPosted = hint;
        watch->hintPostedTo = window;
    }
}

constexpr WPARAM kHintNotRunning = 1;

void ShowHint(WPARAM hint)
{
    if (!g_hintLine)
        return;
    CStrW text;
    if (hint == kHintNotRunning)
        text.AssignChars(L"检测到程序未运行,系统将自动运行", 0);
    else
        text.Format(L"监控已开启,监控数量为：%d 个程序", static_cast<int>(hint - 2));
    SetWindowTextW(g_hintLine, text.c_str());
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
void WaitPeriod(HANDLE timer, HANDLE wake, ULONGLONG waitMs)
{
    HANDLE handles[3] = {RunStopEvent(), timer, wake};
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
    if (!RunGoesOn())
        return;
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout);
    g_monitorStats.wakeups.fetch_add(1, std::memory_order_relaxed);
    if (wake && result == WAIT_OBJECT_0 + count - 1)
        NoteRestartStep(RestartStep::ThreadAwake);
    if (result == WAIT_FAILED)
        Sleep(100);
}

// One period, or until a held restart or a delayed kill is due.
ULONGLONG WaitAfterCycle(size_t index, size_t periodMs)
{
    ULONGLONG now = GetTickCount64();
    ULONGLONG wait = periodMs;
    const ULONGLONG dues[] = {HeldRestartTick(index), HangKillDueTick(index)};
    for (ULONGLONG due : dues) {
        if (due && due > now && due - now < wait)
            wait = due - now;
        else if (due && due <= now)
            wait = 0;
    }
    return wait;
}

void RunCycles(const MonitorThreadParam& param)
{
    CHandle timer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    InstanceWatch watch;
    HealthWork health;
    while (RunGoesOn()) {
        ULONGLONG cycleStart = GetTickCount64();
        FinishDueHangKill(param.index);
        EndCrashHeldInstance(param.index);
        if (RunGoesOn() && !CheckRunning(param.index, watch)) {
            CheckErrorDialog(param.index);
            if (!HangKillDueTick(param.index))
                CheckHang(param.index);
            RunHealthChecks(param.index, health);
        }
        // Also right after a start: the new window goes back at once.
        if (RunGoesOn())
            KeepWindowPlace(param.index);
        NoteCycle(GetTickCount64() - cycleStart);
        WaitPeriod(timer.Get(), param.wake, WaitAfterCycle(param.index, param.periodMs));
    }
}

DWORD WINAPI MonitorThreadProc(void* parameter)
{
    auto* param = static_cast<MonitorThreadParam*>(parameter);
    if (!param)
        return 0;
    SetThreadRun(param->run);
    Guarded(L"监控线程", [&] { RunCycles(*param); });
    SetThreadRun(nullptr);
    if (param->wake)
        CloseHandle(param->wake);
    ReleaseRun(param->run);
    delete param;
    return 0;
}

// The monitor threads of the table, taken out of their records.
struct ThreadList {
    CArray<HANDLE> handles;
    CArray<size_t> indices;
    ~ThreadList()
    {
        handles.Destroy();
        indices.Destroy();
    }
};

void TakeMonitorThreads(ThreadList* threads)
{
    CLock lock(TableLock());
    for (size_t i = 0; i < g_programCount; ++i) {
        CMonitorItem& record = g_monitorList.At(i);
        if (record.monitorThread) {
            threads->handles.Append(record.monitorThread);
            threads->indices.Append(i);
            record.monitorThread = nullptr;
        }
        if (record.wakeEvent) {
            CloseHandle(record.wakeEvent);
            record.wakeEvent = nullptr;
        }
    }
}

// Waits for every thread together, at most until deadline (a
// GetTickCount64 value), in groups of what one wait takes.
void WaitForThreads(const ThreadList& threads, ULONGLONG deadline)
{
    for (size_t first = 0; first < threads.handles.Count(); first += MAXIMUM_WAIT_OBJECTS) {
        size_t count = threads.handles.Count() - first;
        if (count > MAXIMUM_WAIT_OBJECTS)
            count = MAXIMUM_WAIT_OBJECTS;
        ULONGLONG now = GetTickCount64();
        DWORD left = deadline > now ? static_cast<DWORD>(deadline - now) : 0;
        WaitForMultipleObjects(static_cast<DWORD>(count), &threads.handles.At(first), TRUE, left);
    }
}

} // namespace

size_t PeriodFromSetting(long long seconds)
{
    long long s = seconds < 1 ? 5 : (seconds > kLongestSettingSeconds ? kLongestSettingSeconds : seconds);
    return static_cast<size_t>(static_cast<unsigned long long>(s) * 1000);
}

DWORD GraceFromSetting(long long seconds)
{
    long long s = seconds < 1 ? 5 : (seconds > kLongestSettingSeconds ? kLongestSettingSeconds : seconds);
    return static_cast<DWORD>(static_cast<unsigned long long>(s) * 1000);
}

void BeginMonitoring()
{
    g_periodMs = PeriodFromSetting(g_config.GetInt(0, "monitortime", 5));
    g_hangGraceMs = GraceFromSetting(g_config.GetInt(0, "unresponsetime", 5));
    if (!g_currentRun)
        g_currentRun = NewRun();
    g_monitoring = 1;
}

bool StartMonitorThread(size_t index)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !g_currentRun)
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
    HANDLE wake = nullptr;
    if (record.wakeEvent)
        DuplicateHandle(GetCurrentProcess(), record.wakeEvent, GetCurrentProcess(), &wake, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    // Monitoring started anew tries a program held back by its backoff at
    // once; the steps counted so far stay.
    record.restartDueTick = 0;
    auto* param = new MonitorThreadParam{index, g_periodMs, g_currentRun, wake};
    HoldRun(g_currentRun);
    record.monitorThread = CreateThread(nullptr, 0, MonitorThreadProc, param, 0, nullptr);
    if (!record.monitorThread) {
        ReleaseRun(g_currentRun);
        if (wake)
            CloseHandle(wake);
        delete param;
        return false;
    }
    return true;
}

void StartMonitoringAll()
{
    BeginMonitoring();
    ExcludeFromErrorReporting(ProgramFileNames());
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
    MonitorRun* run = g_currentRun;
    g_currentRun = nullptr;
    // No thread of the run arms a kill once it is stopped.
    StopRun(run);
    CancelPendingKills();
    ThreadList threads;
    TakeMonitorThreads(&threads);
    WaitForThreads(threads, GetTickCount64() + kStopWaitMs);
    for (size_t i = 0; i < threads.handles.Count(); ++i) {
        HANDLE thread = threads.handles.At(i);
        if (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT)
            TraceFormat(L"停止监控", L"程序 %llu 的监控线程仍在一个耗时的调用中, 留其自行结束, 它不再做任何事",
                        static_cast<unsigned long long>(threads.indices.At(i)));
        CloseHandle(thread);
    }
    ReleaseRun(run);
}

bool HandleEngineMessage(HWND, UINT message, WPARAM wParam, LPARAM, LRESULT* result)
{
    if (message == WM_TW_HINT)
        ShowHint(wParam);
    else if (message == WM_TW_LOG_GROWN)
        g_errorLog.ShowNewRows();
    else
        return false;
    if (result)
        *result = 0;
    return true;
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
    if (g_watchRunning.load(std::memory_order_relaxed)) {
        if (InstanceRuns(index, watch)) {
            NoteProgramRunning(index);
        } else {
            NoteRestartStep(RestartStep::RunningChecked);
            RestartPrep prep;
            if (!RestartHeldBack(index, &prep)) {
                NoteRestartStep(RestartStep::BackoffDecided);
                PostHint(kHintNotRunning, &watch);
                NoteRestartStep(RestartStep::HintPosted);
                StartProgram(index, &prep);
            }
            restarted = 1;
        }
    }
    PostHint(g_programCount.load() + 2, &watch);
    return restarted;
}

} // namespace tw
