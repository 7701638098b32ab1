#include "monitor/launch.h"

#include "core/handle.h"
#include "core/trace.h"
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
    bool marked = false;
    {
        CLock lock(TableLock());
        if (CMonitorItem* record = RecordOf(param->link)) {
            record->processHandle = nullptr;
            if (param->link->cancelled != 1) {
                record->rowColour = kRowRed;
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
    try {
        WatchUntilExit(param);
    } catch (const IndexOutOfRange& e) {
        TraceFormat(L"进程监视", L"索引越界: %llu", static_cast<unsigned long long>(e.index));
    }
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
    const wchar_t* last = wcsrchr(path.c_str(), L'\\');
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

void StartProgram(size_t index)
{
    if (index >= g_programCount)
        return;
    KillProgramProcess(index);
    ProgramView view;
    if (!CopyProgram(index, &view))
        return;
    HANDLE process = nullptr;
    DWORD error = 0;
    DWORD processId = LaunchExecutable(view.path, view.command, &process, &error);
    SetProgramStartTick(index, GetTickCount64());
    if (!processId) {
        // Not a restart: the row stays red and the next period tries again.
        SetProgramAttachment(index, 0, nullptr);
        SetProgramRowColour(index, kRowRed);
        g_errorLog.AddFormat(L"进程\"%s\"启动失败, 路径为:%s, 错误代码为:%lu\n", view.name.c_str(), view.path.c_str(),
                             error);
        RepaintProgramList();
        NotifyProgramsChanged();
        return;
    }
    SetProgramAttachment(index, processId, nullptr);
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
