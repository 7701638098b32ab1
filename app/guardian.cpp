#include "app/guardian.h"

#include "app/main_window.h"
#include "app/run_state.h"
#include "core/exe_path.h"
#include "core/handle.h"
#include "core/trace.h"

#include <vector>

namespace tw {

namespace {

// The guardian asks the window this often, and waits this long for each
// answer; it waits on the process handle in between.
constexpr DWORD kProbeEveryMs = 5000;
constexpr DWORD kProbeWaitMs = 5000;
// A Tollwick that ran this long had not been dying at once: the next restart
// after an unclean end waits the shortest time again.
constexpr ULONGLONG kRanWellMs = 60000;
constexpr DWORD kLongestRestartWaitS = 60;
// Tollwick's wait before it starts a new guardian, so that a guardian that
// cannot run is not started in a tight loop.
constexpr DWORD kNewGuardianWaitMs = 1000;

CStrW LogsFolder()
{
    CStrW folder = DirectoryOf(ExecutablePath());
    folder.AppendChars(L"logs\\", 0);
    return folder;
}

unsigned long long HandleValue(HANDLE handle)
{
    return static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(handle));
}

// A handle of this process that a child may inherit, with what the other
// side needs: to wait on it, and (the guardian) to end it.
HANDLE InheritableSelf()
{
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                         SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0))
        return nullptr;
    return self;
}

// Starts this executable again from its folder with arguments, handing it
// handed and, where the system allows the list, no other handle; its
// process handle, or null.
HANDLE StartSelf(const CStrW& arguments, HANDLE handed)
{
    CStrW exe = ExecutablePath();
    CStrW line(L"\"");
    line.AppendChars(exe.c_str(), 0);
    line.AppendChars(L"\" ", 2);
    line.AppendChars(arguments.c_str(), 0);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> buffer(size ? size : 1);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
    DWORD flags = 0;
    bool listed = size && InitializeProcThreadAttributeList(list, 1, 0, &size);
    if (listed && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handed, sizeof(handed),
                                            nullptr, nullptr)) {
        startup.lpAttributeList = list;
        flags = EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(exe.c_str(), line.Buffer(), nullptr, nullptr, TRUE, flags, nullptr,
                                  DirectoryOf(exe).c_str(), &startup.StartupInfo, &info);
    DWORD error = GetLastError();
    if (listed)
        DeleteProcThreadAttributeList(list);
    if (!started) {
        TraceFormat(L"守护进程", L"无法启动 %s, 错误码: %lu", line.c_str(), error);
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

HWND FindMainWindowOf(DWORD processId)
{
    return FindMainWindow([processId](DWORD owner) { return owner == processId; });
}

enum class Lost { Ended, Hung };

// Waits until the guarded Tollwick ends; when its main window has not
// answered for kHungWindowMs, ends it and waits until it is gone (a new one
// would otherwise find the old one running and leave).
Lost WatchTollwick(HANDLE guarded)
{
    DWORD processId = GetProcessId(guarded);
    ULONGLONG answered = GetTickCount64();
    for (;;) {
        if (WaitForSingleObject(guarded, kProbeEveryMs) != WAIT_TIMEOUT)
            return Lost::Ended;
        // No window yet (starting) or any more (ending) is no hang.
        HWND window = FindMainWindowOf(processId);
        DWORD_PTR result = 0;
        if (!window || SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kProbeWaitMs, &result)) {
            answered = GetTickCount64();
            continue;
        }
        if (GetTickCount64() - answered < kHungWindowMs)
            continue;
        Trace(L"守护进程", L"主窗口 60 秒无响应, 结束并重新启动");
        TerminateProcess(guarded, 1);
        WaitForSingleObject(guarded, INFINITE);
        return Lost::Hung;
    }
}

bool EndedCleanly()
{
    RunEnd end = ReadRunState(LogsFolder());
    return end == RunEnd::Quit || end == RunEnd::Session;
}

// Starts Tollwick again, telling it why and after how long, and handing it
// this guardian to watch in turn. Whether monitoring was on, it reads from
// the run state its predecessor kept.
HANDLE StartTollwickAgain(Lost lost, DWORD waitedSeconds)
{
    CHandle self(InheritableSelf());
    CStrW arguments;
    arguments.Format(L"/restarted %s %lu %llu", lost == Lost::Hung ? L"hung" : L"crash", waitedSeconds,
                     HandleValue(self.Get()));
    return StartSelf(arguments, self.Get());
}

// Tollwick's side: the guardian it keeps, and the thread that starts a new
// one when it ends.
struct KeptGuardian {
    HANDLE stop = nullptr;
    HANDLE thread = nullptr;
};
KeptGuardian g_kept;

HANDLE StartGuardian()
{
    CHandle self(InheritableSelf());
    CStrW arguments;
    arguments.Format(L"/guard %llu", HandleValue(self.Get()));
    return StartSelf(arguments, self.Get());
}

DWORD WINAPI KeepGuardianProc(void* parameter)
{
    CHandle guardian(static_cast<HANDLE>(parameter));
    for (;;) {
        if (!guardian)
            guardian.Reset(StartGuardian());
        HANDLE handles[2] = {g_kept.stop, guardian.Get()};
        DWORD result =
            WaitForMultipleObjects(guardian ? 2 : 1, handles, FALSE, guardian ? INFINITE : kNewGuardianWaitMs);
        if (result == WAIT_OBJECT_0) {
            if (guardian)
                TerminateProcess(guardian.Get(), 0);
            return 0;
        }
        if (result == WAIT_OBJECT_0 + 1) {
            Trace(L"守护进程", L"守护进程已结束, 重新启动它");
            guardian.Reset();
            if (WaitForSingleObject(g_kept.stop, kNewGuardianWaitMs) == WAIT_OBJECT_0)
                return 0;
        }
    }
}

} // namespace

int RunGuardian(const StartOptions& options)
{
    CHandle guarded(options.otherProcess);
    if (!guarded)
        return 1;
    DWORD nextWaitS = 1;
    for (;;) {
        ULONGLONG started = GetTickCount64();
        Lost lost = WatchTollwick(guarded.Get());
        if (lost == Lost::Ended && EndedCleanly())
            return 0;
        // A Tollwick that keeps dying at once is started again ever later, up
        // to a minute apart; never given up.
        DWORD waitS = 0;
        if (lost == Lost::Ended) {
            if (GetTickCount64() - started >= kRanWellMs)
                nextWaitS = 1;
            waitS = nextWaitS;
            nextWaitS = nextWaitS * 2 < kLongestRestartWaitS ? nextWaitS * 2 : kLongestRestartWaitS;
        }
        Sleep(waitS * 1000);
        guarded.Reset(StartTollwickAgain(lost, waitS));
        while (!guarded) {
            Sleep(nextWaitS * 1000);
            guarded.Reset(StartTollwickAgain(lost, waitS));
        }
    }
}

void KeepGuardian(HANDLE adopted)
{
    if (g_kept.thread) {
        if (adopted)
            CloseHandle(adopted);
        return;
    }
    if (!g_kept.stop)
        g_kept.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(g_kept.stop);
    g_kept.thread = g_kept.stop ? CreateThread(nullptr, 0, KeepGuardianProc, adopted, 0, nullptr) : nullptr;
    if (!g_kept.thread && adopted)
        CloseHandle(adopted);
}

void DismissGuardian()
{
    if (!g_kept.thread)
        return;
    SetEvent(g_kept.stop);
    // The thread ends the guardian at once; the wait only keeps this
    // process from going before it has.
    WaitForSingleObject(g_kept.thread, 2000);
    CloseHandle(g_kept.thread);
    g_kept.thread = nullptr;
}

} // namespace tw
