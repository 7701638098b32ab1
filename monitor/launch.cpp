#include "monitor/launch.h"

#include "core/guard.h"
#include "core/handle.h"
#include "core/path.h"
#include "core/trace.h"
#include "monitor/backoff.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/monitor_run.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"

#include <wchar.h>

namespace tw {

namespace {

struct ExitWatcherParam {
    size_t index;
    size_t reserved;
    HANDLE process;
    ExitWatchLink* link;
};

void ReleaseLink(ExitWatchLink* link)
{
    if (InterlockedDecrement(&link->references) == 0)
        delete link;
}

// The record this watcher belongs to, wherever removals have moved it. The
// caller holds the table lock.
CMonitorItem* RecordOf(const ExitWatchLink* link)
{
    for (size_t i = 0; i < g_programCount; ++i) {
        CMonitorItem& record = g_monitorList.At(i);
        if (record.cancelFlag == link)
            return &record;
    }
    return nullptr;
}

HANDLE OpenWatchedProcess(const ExitWatchLink* link)
{
    DWORD processId = 0;
    {
        CLock lock(TableLock());
        if (CMonitorItem* record = RecordOf(link))
            processId = record->processId;
    }
    return processId ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId) : nullptr;
}

ULONGLONG FileTimeValue(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// GetTickCount64 when the process ended, from its exit time: the watcher may
// start well after a short-lived process is gone. Now, when the system does
// not say or says something implausible.
ULONGLONG ExitTickOf(HANDLE process)
{
    ULONGLONG now = GetTickCount64();
    FILETIME created, exited, kernel, user, current;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return now;
    GetSystemTimeAsFileTime(&current);
    ULONGLONG end = FileTimeValue(exited);
    ULONGLONG at = FileTimeValue(current);
    ULONGLONG agoMs = end && at >= end ? (at - end) / 10000 : ~0ull;
    constexpr ULONGLONG kPlausibleMs = 60000;
    return agoMs <= kPlausibleMs && agoMs < now ? now - agoMs : now;
}

void WatchUntilExit(ExitWatcherParam* param)
{
    CHandle process(param->process ? param->process : OpenWatchedProcess(param->link));
    if (!process)
        return;
    WaitForSingleObject(process.Get(), INFINITE);
    NoteRestartStep(RestartStep::ExitSeen);
    ULONGLONG ended = ExitTickOf(process.Get());
    if (g_exitWatchSeam)
        g_exitWatchSeam();
    bool marked = false;
    {
        CLock lock(TableLock());
        if (CMonitorItem* record = RecordOf(param->link)) {
            // A watcher of an earlier instance was let go when the next run
            // began: its exit time would be taken for the new run's.
            if (param->link->cancelled != 1) {
                record->rowColour = kRowRed;
                // When the run ended, for the backoff's measure of it.
                record->exitTick = ended;
                marked = true;
                // The monitor thread, if any, restarts the program now.
                if (record->wakeEvent)
                    SetEvent(record->wakeEvent);
            }
        }
    }
    if (marked)
        RepaintProgramList();
}

DWORD WINAPI ExitWatcherProc(void* parameter)
{
    auto* param = static_cast<ExitWatcherParam*>(parameter);
    if (!param)
        return 0;
    Guarded(L"进程监视", [&] { WatchUntilExit(param); });
    ReleaseLink(param->link);
    delete param;
    return 0;
}

CStrW DirectoryPart(const CStrW& path, size_t lastSlash)
{
    return CStrW(path.c_str(), lastSlash + 1);
}

} // namespace

void (*g_exitWatchSeam)() = nullptr;
void (*g_launchSeam)() = nullptr;
std::atomic<long long> g_restartMoments[static_cast<int>(RestartStep::Count)];

void NoteRestartStep(RestartStep step)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    g_restartMoments[static_cast<int>(step)].store(now.QuadPart, std::memory_order_relaxed);
}

void DetachExitWatcher(CMonitorItem& record)
{
    if (record.cancelFlag) {
        InterlockedExchange(&record.cancelFlag->cancelled, 1);
        ReleaseLink(record.cancelFlag);
        record.cancelFlag = nullptr;
    }
    if (record.exitWatcherThread) {
        CloseHandle(record.exitWatcherThread);
        record.exitWatcherThread = nullptr;
    }
}

bool StartExitWatcher(size_t index, HANDLE process)
{
    // One reference for the record, one for the watcher.
    auto* link = new ExitWatchLink{2, 0};
    auto* param = new ExitWatcherParam{index, 0, process, link};
    // Made before the table lock is taken (a thread's creation is a call into
    // the system), and let run once the record holds its link.
    HANDLE thread = CreateThread(nullptr, 0, ExitWatcherProc, param, CREATE_SUSPENDED, nullptr);
    if (!thread) {
        delete link;
        delete param;
        return false;
    }
    bool attached = false;
    {
        CLock lock(TableLock());
        if (index < g_programCount) {
            CMonitorItem& record = g_monitorList.At(index);
            // An earlier watcher of this record (an old instance) marks nothing more.
            DetachExitWatcher(record);
            record.cancelFlag = link;
            record.exitWatcherThread = thread;
            attached = true;
        }
    }
    if (!attached) {
        // The record is gone: the watcher finds none and ends; the process
        // handle stays the caller's.
        param->process = nullptr;
        InterlockedExchange(&link->cancelled, 1);
        InterlockedDecrement(&link->references);
    }
    ResumeThread(thread);
    if (!attached)
        CloseHandle(thread);
    return attached;
}

DWORD LaunchExecutable(const CStrW& path, const CStrW& command, HANDLE* process, DWORD* error)
{
    if (process)
        *process = nullptr;
    if (error)
        *error = ERROR_INVALID_PARAMETER;
    if (path.IsEmpty())
        return 0;
    // Windows takes "/" for a separator too, and a path may be written so.
    const wchar_t* last = wcsrchr(path.c_str(), L'\\');
    const wchar_t* slash = wcsrchr(path.c_str(), L'/');
    if (slash > last)
        last = slash;
    if (!last || last == path.c_str())
        return 0;
    CStrW directory = DirectoryPart(path, static_cast<size_t>(last - path.c_str()));
    CStrW commandLine(L"\"");
    commandLine.AppendChars(path.c_str(), 0);
    commandLine.AppendChars(L"\" ", 2);
    commandLine.AppendChars(command.Text(), 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (g_launchSeam)
        g_launchSeam();
    if (!CreateProcessW(path.c_str(), commandLine.Buffer(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                        &startup, &info)) {
        if (error)
            *error = GetLastError();
        return 0;
    }
    NoteRestartStep(RestartStep::ProcessCreated);
    if (error)
        *error = 0;
    CloseHandle(info.hThread);
    if (process)
        *process = info.hProcess;
    else
        CloseHandle(info.hProcess);
    return info.dwProcessId;
}

namespace {

// The executables whose start a thread is deciding on (attach a running copy
// or start one, and record the choice), by key. A second start of the same
// executable waits until the first is recorded, so two records never take
// one process and no start makes a second copy. Only this short list is
// locked, never a path lookup, a process walk or a start; starts of other
// executables go on meanwhile.
CCriticalSection& ClaimsLock()
{
    static CCriticalSection* lock = new CCriticalSection;
    return *lock;
}

CArray<unsigned long long>& Claims()
{
    static auto* claims = new CArray<unsigned long long>;
    return *claims;
}

// A collision of keys only makes two starts wait for each other. The long
// path found when the record was added spares a file-system call.
unsigned long long ClaimKey(const ProgramView& view)
{
    return view.longPath.IsEmpty() ? PathKey(view.path.c_str()) : LongPathKey(view.longPath.c_str());
}

bool TryClaim(unsigned long long key)
{
    CLock lock(ClaimsLock());
    CArray<unsigned long long>& claims = Claims();
    for (size_t i = 0; i < claims.Count(); ++i) {
        if (claims.At(i) == key)
            return false;
    }
    return claims.Append(key);
}

// A claim on one executable while it is held.
class CExecutableClaim {
public:
    // Waits while another thread holds the executable; false when monitoring
    // stopped meanwhile (nothing is held then).
    bool Take(const ProgramView& view)
    {
        unsigned long long key = ClaimKey(view);
        constexpr DWORD kRetryMs = 20;
        while (!TryClaim(key)) {
            if (WaitUnlessStopped(nullptr, kRetryMs) == WAIT_ABANDONED || !RunGoesOn())
                return false;
        }
        m_key = key;
        m_held = true;
        return true;
    }
    ~CExecutableClaim()
    {
        if (!m_held)
            return;
        CLock lock(ClaimsLock());
        CArray<unsigned long long>& claims = Claims();
        for (size_t i = 0; i < claims.Count(); ++i) {
            if (claims.At(i) == m_key) {
                claims.RemoveAt(i);
                break;
            }
        }
    }

private:
    unsigned long long m_key = 0;
    bool m_held = false;
};

// Whether the copy found earlier in this restart still runs the executable
// and is still no other record's instance.
bool StillClaimable(size_t index, const ProgramView& view, DWORD processId)
{
    CArray<DWORD> others;
    CopyInstanceIds(index, &others);
    bool taken = IdListed(processId, others.Count() ? &others.At(0) : nullptr, others.Count());
    others.Destroy();
    return !taken && SamePath(GetProcessIdImagePath(processId).c_str(), view.path.c_str());
}

// Noted in place of a start error when an old instance could not be ended.
constexpr DWORD kSurvivorNoted = 0xFFFFFFFFu;

// What the claim decided.
enum class Claimed { Nothing, Attached, Started };

// A process that runs the record's executable and is no other record's
// instance, or else a new one started; the record holds it before the claim
// ends. process receives the handle of a started one. A start whose
// monitoring stopped before it could be recorded is ended again: no one
// would watch it. The list is walked again only when the restart's decision
// did not walk it, or the copy it found has gone or become another record's.
Claimed ClaimOrLaunch(size_t index, const ProgramView& view, const RestartPrep* prep, DWORD* processId,
                      CHandle* process, DWORD* error)
{
    CExecutableClaim claim;
    if (!claim.Take(view))
        return Claimed::Nothing;
    if (prep && prep->looked && (!prep->copyId || StillClaimable(index, view, prep->copyId)))
        *processId = prep->copyId;
    else
        *processId = FindClaimableCopy(index);
    if (*processId)
        return SetProgramAttachment(index, *processId, nullptr) ? Claimed::Attached : Claimed::Nothing;
    NoteRestartStep(RestartStep::Claimed);
    HANDLE started = nullptr;
    *processId = LaunchExecutable(view.path, view.command, &started, error);
    process->Reset(started);
    if (!*processId)
        return RunGoesOn() ? Claimed::Started : Claimed::Nothing;
    if (SetProgramAttachment(index, *processId, nullptr))
        return Claimed::Started;
    TerminateProcess(process->Get(), 0);
    TraceFormat(L"运行程序", L"监控已停止, 结束刚启动的进程, 进程ID:%lu", *processId);
    return Claimed::Nothing;
}

void NoteFailedStart(size_t index, const ProgramView& view, DWORD error)
{
    SetProgramRowColour(index, kRowRed);
    // No run began: the next period tries again without any backoff.
    SetProgramStartTick(index, 0);
    // The same failure again is no news: a missing file is logged once and
    // then tried quietly each period until it is back.
    if (NoteStartResult(index, error))
        g_errorLog.AddFormat(ProgramEvent(EventKind::StartFailed, index),
                             L"进程\"%s\"启动失败, 路径为:%s, 错误代码为:%lu\n", view.name.c_str(), view.path.c_str(),
                             error);
    RepaintProgramList();
    NotifyProgramsChanged();
}

void AttachFound(size_t index, DWORD processId)
{
    CWindowList windows;
    CollectProcessWindows(processId, 0, &windows);
    AttachRunningInstance(index, processId, windows.FirstVisibleRootOwner());
    TraceFormat(L"运行程序", L"已在运行, 进程ID:%lu", processId);
}

// The configured message of a new instance, with a real time limit: a
// program that answers it from a nested loop must not hold the thread.
void SendConfiguredMessage(size_t index, HWND window, DWORD messageValue, DWORD processId)
{
    if (!messageValue || !window || !RunGoesOn())
        return;
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, messageValue, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 200, &result))
        return;
    SetProgramSubroutine(index, static_cast<LRESULT>(result));
    TraceFormat(L"运行程序取进程子程序", L"进程ID:%lu, 取到的子程序地址 : %lld", processId,
                static_cast<long long>(result));
}

} // namespace

void LogAfterStart(size_t index, const RestartPrep* prep)
{
    if (prep && !prep->afterStart.IsEmpty())
        g_errorLog.Add(ProgramEvent(EventKind::BackoffEnd, index), prep->afterStart.c_str());
}

DWORD FindClaimableCopy(size_t index)
{
    CStrW path = CopyProgramText(index, &CMonitorItem::path);
    CStrW longPath = CopyProgramText(index, &CMonitorItem::longPath);
    CArray<DWORD> others;
    CopyInstanceIds(index, &others);
    const DWORD* skip = others.Count() ? &others.At(0) : nullptr;
    DWORD found = longPath.IsEmpty() ? FindProcessRunning(path, skip, others.Count())
                                     : FindLongPathRunning(longPath, skip, others.Count());
    others.Destroy();
    return found;
}

void LogSurvivor(size_t index)
{
    if (NoteStartResult(index, kSurvivorNoted))
        g_errorLog.AddFormat(ProgramEvent(EventKind::KillRefused, index), L"进程\"%s\"无法结束, 进程ID为:%d",
                             CopyProgramText(index, &CMonitorItem::name).c_str(),
                             static_cast<int>(ProgramProcessId(index)));
}

bool EndInstance(size_t index)
{
    DWORD processId = ProgramProcessId(index);
    CStrW path = CopyProgramText(index, &CMonitorItem::path);
    CHandle process;
    // A second for the usual end, then the long wait of a slow one.
    constexpr DWORD kUsualEndMs = 1000;
    switch (EndProcessRunning(processId, path, kUsualEndMs, &process)) {
    case EndResult::Gone:
        return true;
    case EndResult::Refused:
        LogSurvivor(index);
        return false;
    case EndResult::Ending:
        break;
    }
    if (!RunGoesOn())
        return false;
    g_errorLog.AddFormat(ProgramEvent(EventKind::EndPending, index),
                         L"进程\"%s\"已被结束, 但尚未退出, 退出后再重启, 进程ID为:%lu",
                         CopyProgramText(index, &CMonitorItem::name).c_str(), processId);
    SetProgramEnding(index, true);
    RepaintProgramList();
    NotifyProgramsChanged();
    bool gone = WaitUnlessStopped(process.Get(), INFINITE) == WAIT_OBJECT_0;
    SetProgramEnding(index, false);
    RepaintProgramList();
    NotifyProgramsChanged();
    return gone;
}

void StartProgram(size_t index, const RestartPrep* prep)
{
    if (index >= g_programCount)
        return;
    // An old instance that cannot be ended stays the program's instance: a
    // second copy beside it would only pile up.
    ProgramView view;
    if (!EndInstance(index) || !RunGoesOn() || !CopyProgram(index, &view)) {
        LogAfterStart(index, prep);
        return;
    }
    NoteRestartStep(RestartStep::InstanceEnded);
    DWORD error = 0;
    DWORD processId = 0;
    CHandle process;
    SetProgramStartTick(index, GetTickCount64());
    Claimed claimed = ClaimOrLaunch(index, view, prep, &processId, &process, &error);
    LogAfterStart(index, prep);
    if (claimed == Claimed::Nothing)
        return;
    if (!processId) {
        NoteFailedStart(index, view, error);
        return;
    }
    NoteStartResult(index, 0);
    if (claimed == Claimed::Attached) {
        AttachFound(index, processId);
        return;
    }
    // Counted whether or not the backoff logs it.
    CountProgramEvent(index, ProgramCounter::Restart);
    SetProgramAnswered(index, false);
    CWindowList windows;
    CollectProcessWindows(processId, 1000, &windows);
    HWND window = windows.FirstVisibleRootOwner();
    NoteRestartStep(RestartStep::WindowFound);
    SetProgramAttachment(index, processId, window);
    TraceFormat(L"运行程序", L"进程ID:%lu, 取到的窗口句柄 : %lld", processId,
                static_cast<long long>(reinterpret_cast<INT_PTR>(window)));
    SendConfiguredMessage(index, window, view.messageValue, processId);
    if (NoteRestartMade(index))
        g_errorLog.AddFormat(ProgramEvent(EventKind::Restart, index), L"进程\"%s\"重启成功, 进程ID为:%d\n",
                             view.name.c_str(), static_cast<int>(processId));
    NoteRestartStep(RestartStep::Logged);
    // The instance is the record's now, whatever happens to monitoring: its
    // watcher marks its end.
    if (StartExitWatcher(index, process.Get()))
        process.Detach();
    CStrW title = GetWindowTextString(window);
    CStrW className = GetWindowClassString(window);
    SetProgramWindowFacts(index, title, className);
    SetProgramRowColour(index, kRowBlack);
    RepaintProgramList();
    NotifyProgramsChanged();
}

} // namespace tw
