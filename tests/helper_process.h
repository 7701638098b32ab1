// A process of the test helper program (tollwick_helper.exe beside the test
// executable), or of any other executable, ended if it still runs when the
// object goes.
#pragma once

#include <windows.h>

#include <string>

namespace tw_test {

// Folder of the running test executable, ending with '\'.
std::wstring TestBinaryDirectory();
std::wstring HelperPath(bool withVersionInfo = true);

class HelperProcess {
public:
    HelperProcess() = default;
    ~HelperProcess() { Stop(); }
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // Starts "executable" options; false when it could not start. With
    // refuseEnd, no other process may open it to end it.
    bool Start(const std::wstring& options, const std::wstring& executable = HelperPath(), bool refuseEnd = false);
    // Takes over the process that someone else started, found by its window.
    bool Adopt(HWND window);
    // Waits until the process shows a visible top-level window; null on time-out.
    HWND WaitForWindow(DWORD timeoutMs = 10000) const;
    bool WaitForExit(DWORD timeoutMs) const;
    bool IsRunning() const;
    // The exit code once it has ended, else -1.
    long ExitCode() const;
    // Ends the process if it still runs.
    void Stop();

    DWORD Id() const { return m_id; }
    HANDLE Handle() const { return m_process; }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// The first visible top-level window of the process, or null.
HWND VisibleWindowOf(DWORD processId);

// Stands in for TerminateProcess (tw::g_terminateSeam) as the end of a
// process inside a driver call: it reports success at once and ends the
// process only g_lateEndMs later.
extern DWORD g_lateEndMs;
BOOL TerminateLate(HANDLE process, UINT exitCode);

} // namespace tw_test
