#include "monitor/program_close.h"

#include "core/app_messages.h"
#include "core/handle.h"
#include "core/path.h"
#include "core/str.h"
#include "core/trace.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace tw {

namespace {

// How long the ended processes are given to be gone before the close is
// reported done all the same.
constexpr DWORD kEndWaitMs = 5000;

// One program of the snapshot. The handle is open from the snapshot on, so
// the id cannot pass to another process while the worker looks at it, and
// what it learnt of the process at the start still holds at the end.
struct ClosingProgram {
    size_t index;
    DWORD processId;
    HWND window;
    CStrW path;
    CHandle process;
};

struct CloseJob {
    HWND notify = nullptr;
    DWORD graceMs = 0;
    std::vector<ClosingProgram> programs;
};

DWORD TimeLeft(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1)) : 0;
}

// Keeps only the processes that run their program's executable (the id of
// an instance that ended may already name another program's process) and
// asks each to close through its program's window, when that window still
// belongs to it.
void AskToClose(CloseJob& job)
{
    auto others = std::remove_if(job.programs.begin(), job.programs.end(), [](const ClosingProgram& program) {
        return !SamePath(GetProcessImagePath(program.process.Get()).c_str(), program.path.c_str());
    });
    job.programs.erase(others, job.programs.end());
    for (const ClosingProgram& program : job.programs) {
        DWORD owner = 0;
        if (program.window && GetWindowThreadProcessId(program.window, &owner) && owner == program.processId)
            PostMessageW(program.window, WM_CLOSE, 0, 0);
    }
}

void EndTheRest(const CloseJob& job)
{
    for (const ClosingProgram& program : job.programs) {
        if (WaitForSingleObject(program.process.Get(), 0) != WAIT_TIMEOUT)
            continue;
        if (!TerminateProcess(program.process.Get(), 0))
            TraceFormat(L"定时关闭", L"第%d个程序的进程无法结束, 进程ID:%lu", static_cast<int>(program.index + 1),
                        program.processId);
    }
}

// The main window holds a timed run back until this message comes, so a
// queue that is full for a moment is tried again.
void Notify(HWND notify)
{
    for (int attempt = 0; notify && attempt < 50; ++attempt) {
        if (PostMessageW(notify, WM_TW_PROGRAMS_CLOSED, 0, 0) || !IsWindow(notify))
            return;
        Sleep(100);
    }
}

void RunClose(CloseJob& job, DWORD graceMs, DWORD endWaitMs)
{
    AskToClose(job);
    std::vector<HANDLE> handles;
    for (const ClosingProgram& program : job.programs)
        handles.push_back(program.process.Get());
    if (!WaitForAllHandles(handles.data(), handles.size(), graceMs)) {
        EndTheRest(job);
        WaitForAllHandles(handles.data(), handles.size(), endWaitMs);
    }
    Notify(job.notify);
}

DWORD WINAPI CloseWorkerProc(void* param)
{
    std::unique_ptr<CloseJob> job(static_cast<CloseJob*>(param));
    RunClose(*job, job->graceMs, kEndWaitMs);
    return 0;
}

} // namespace

bool WaitForAllHandles(const HANDLE* handles, size_t count, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (size_t from = 0; from < count; from += MAXIMUM_WAIT_OBJECTS) {
        DWORD n = static_cast<DWORD>(std::min<size_t>(count - from, MAXIMUM_WAIT_OBJECTS));
        DWORD result = WaitForMultipleObjects(n, handles + from, TRUE, TimeLeft(deadline));
        if (result == WAIT_TIMEOUT)
            return false;
        // Refused as a whole (two handles to one object, say): one by one.
        for (DWORD i = 0; result == WAIT_FAILED && i < n; ++i) {
            if (WaitForSingleObject(handles[from + i], TimeLeft(deadline)) != WAIT_OBJECT_0)
                return false;
        }
    }
    return true;
}

void CloseProgramsInTime(HWND notify, DWORD graceMs)
{
    std::unique_ptr<CloseJob> job(new CloseJob);
    job->notify = notify;
    job->graceMs = graceMs;
    for (size_t i = 0; i < g_programCount; ++i) {
        ProgramView view;
        if (!CopyProgram(i, &view))
            break;
        // A run ended on purpose is no short run for the backoff to count.
        SetProgramStartTick(i, 0);
        bool listed = std::any_of(job->programs.begin(), job->programs.end(),
                                  [&](const ClosingProgram& program) { return program.processId == view.processId; });
        if (view.processId == 0 || listed)
            continue;
        CHandle process(
            OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, view.processId));
        // One that may not be ended by us is still given the time to close.
        if (!process)
            process.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, view.processId));
        if (process)
            job->programs.push_back({i, view.processId, view.window, std::move(view.path), std::move(process)});
    }
    HANDLE thread = CreateThread(nullptr, 0, CloseWorkerProc, job.get(), 0, nullptr);
    if (thread) {
        // The worker owns the job now.
        static_cast<void>(job.release());
        CloseHandle(thread);
        return;
    }
    // Without a worker nothing may wait here: the programs are asked and
    // ended at once.
    TraceFormat(L"定时关闭", L"无法创建线程, 错误码: %lu", GetLastError());
    RunClose(*job, 0, 0);
}

} // namespace tw
