#include "monitor/launch.h"

#include "core/guard.h"
#include "core/handle.h"
#include "core/trace.h"
#include "monitor/backoff.h"
#include "monitor/error_log.h"
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
    {
        CLock lock(TableLock());
        if (CMonitorItem* record = RecordOf(param->link))
            record->processHandle = process.Get();
    }
    WaitForSingleObject(process.Get(), INFINITE);
    ULONGLONG ended = ExitTickOf(process.Get());
    bool marked = false;
    {
        CLock lock(TableLock());
        if (CMonitorItem* record = RecordOf(param->link)) {
            record->processHandle = nullptr;
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
    CLock lock(TableLock());
    if (index >= g_programCount)
        return false;
    // One reference for the record, one for the watcher.
    auto* link = new ExitWatchLink{2, 0};
    auto* param = new ExitWatcherParam{index, 0, process, link};
    CMonitorItem& record = g_monitorList.At(index);
    // An earlier watcher of this record (an old instance) marks nothing more.
    DetachExitWatcher(record);
    record.cancelFlag = link;
    HANDLE thread = CreateThread(nullptr, 0, ExitWatcherProc, param, 0, nullptr);
    if (!thread) {
        record.cancelFlag = nullptr;
        delete link;
        delete param;
        return false;
    }
    record.exitWatcherThread = thread;
    return true;
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
    if (!CreateProcessW(path.c_str(), commandLine.Buffer(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                        &startup, &info)) {
        if (error)
            *error = GetLastError();
        return 0;
    }
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

// Held while a monitor thread chooses between attaching a running instance
// and starting a new one and records its choice, so that two records of
// one executable never take the same process. Made once, never deleted.
CCriticalSection& ClaimLock()
{
    static CCriticalSection* lock = new CCriticalSection;
    return *lock;
}

// Noted in place of a start error when an old instance could not be ended.
constexpr DWORD kSurvivorNoted = 0xFFFFFFFFu;

// A process that runs the record's executable and is no other record's
// instance, or else a new one started; the record holds it before the lock
// opens. process receives the handle of a started one.
DWORD ClaimOrLaunch(size_t index, const ProgramView& view, HANDLE* process, DWORD* error, bool* attached)
{
    CLock claim(ClaimLock());
    CArray<DWORD> others;
    CopyInstanceIds(index, &others);
    DWORD processId = FindProcessRunning(view.path, others.Count() ? &others.At(0) : nullptr, others.Count());
    others.Destroy();
    *attached = processId != 0;
    if (!processId)
        processId = LaunchExecutable(view.path, view.command, process, error);
    SetProgramAttachment(index, processId, nullptr);
    return processId;
}

void NoteFailedStart(size_t index, const ProgramView& view, DWORD error)
{
    SetProgramRowColour(index, kRowRed);
    // No run began: the next period tries again without any backoff.
    SetProgramStartTick(index, 0);
    // The same failure again is no news: a missing file is logged once and
    // then tried quietly each period until it is back.
    if (NoteStartResult(index, error))
        g_errorLog.AddFormat(L"进程\"%s\"启动失败, 路径为:%s, 错误代码为:%lu\n", view.name.c_str(), view.path.c_str(),
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

} // namespace

void LogSurvivor(size_t index)
{
    if (NoteStartResult(index, kSurvivorNoted))
        g_errorLog.AddFormat(L"进程\"%s\"无法结束, 进程ID为:%d", CopyProgramText(index, &CMonitorItem::name).c_str(),
                             static_cast<int>(ProgramProcessId(index)));
}

void StartProgram(size_t index)
{
    if (index >= g_programCount)
        return;
    // An old instance that cannot be ended stays the program's instance: a
    // second copy beside it would only pile up.
    if (!KillProgramProcess(index)) {
        LogSurvivor(index);
        return;
    }
    ProgramView view;
    if (!CopyProgram(index, &view))
        return;
    HANDLE process = nullptr;
    DWORD error = 0;
    bool attached = false;
    SetProgramStartTick(index, GetTickCount64());
    DWORD processId = ClaimOrLaunch(index, view, &process, &error, &attached);
    if (!processId) {
        NoteFailedStart(index, view, error);
        return;
    }
    NoteStartResult(index, 0);
    if (attached) {
        AttachFound(index, processId);
        return;
    }
    SetProgramAnswered(index, false);
    CWindowList windows;
    CollectProcessWindows(processId, 1000, &windows);
    HWND window = windows.FirstVisibleRootOwner();
    SetProgramAttachment(index, processId, window);
    TraceFormat(L"运行程序", L"进程ID:%lu, 取到的窗口句柄 : %lld", processId,
                static_cast<long long>(reinterpret_cast<INT_PTR>(window)));
    if (view.messageValue && window) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(window, view.messageValue, 0, 0,
                                SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG | SMTO_ERRORONEXIT, 200, &result)) {
            SetProgramSubroutine(index, static_cast<LRESULT>(result));
            TraceFormat(L"运行程序取进程子程序", L"进程ID:%lu, 取到的子程序地址 : %lld", processId,
                        static_cast<long long>(result));
        }
    }
    if (NoteRestartMade(index))
        g_errorLog.AddFormat(L"进程\"%s\"重启成功, 进程ID为:%d\n", view.name.c_str(), static_cast<int>(processId));
    if (!StartExitWatcher(index, process) && process)
        CloseHandle(process);
    CStrW title = GetWindowTextString(window);
    CStrW className = GetWindowClassString(window);
    SetProgramWindowFacts(index, title, className);
    SetProgramRowColour(index, kRowBlack);
    RepaintProgramList();
    NotifyProgramsChanged();
}

} // namespace tw
