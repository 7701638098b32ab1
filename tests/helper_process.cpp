#include "tests/helper_process.h"

#include <sddl.h>

#include <cstdio>

namespace tw_test {

std::wstring TestBinaryDirectory()
{
    wchar_t path[MAX_PATH * 4] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring directory(path);
    return directory.substr(0, directory.rfind(L'\\') + 1);
}

std::wstring HelperPath(bool withVersionInfo)
{
    return TestBinaryDirectory() + (withVersionInfo ? L"tollwick_helper.exe" : L"tollwick_helper_plain.exe");
}

bool HelperProcess::Start(const std::wstring& options, const std::wstring& executable, bool refuseEnd)
{
    Stop();
    std::wstring commandLine = L"\"" + executable + L"\" " + options;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // Everyone may wait for it and query it, nothing more; the handle made
    // here keeps every right.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (refuseEnd && !ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;0x101000;;;WD)", SDDL_REVISION_1,
                                                                           &descriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    // Under a heavily loaded Wine a start can fail for a moment (seen once in
    // CI); a helper that never starts is still reported, with its error.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        started = CreateProcessW(executable.c_str(), &commandLine[0], descriptor ? &attributes : nullptr, nullptr,
                                 FALSE, 0, nullptr, nullptr, &startup, &info) != FALSE;
        if (!started) {
            fprintf(stderr, "start failed (attempt %d): error %lu\n", attempt + 1, GetLastError());
            Sleep(300);
        }
    }
    LocalFree(descriptor);
    if (!started)
        return false;
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_id = info.dwProcessId;
    return true;
}

bool HelperProcess::Adopt(HWND window)
{
    Stop();
    GetWindowThreadProcessId(window, &m_id);
    m_process =
        m_id ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, m_id) : nullptr;
    return m_process != nullptr;
}

HWND VisibleWindowOf(DWORD processId)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, nullptr, nullptr); window;
         window = FindWindowExW(nullptr, window, nullptr, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

HWND HelperProcess::WaitForWindow(DWORD timeoutMs) const
{
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < timeoutMs && IsRunning(); Sleep(20)) {
        if (HWND window = VisibleWindowOf(m_id))
            return window;
    }
    return nullptr;
}

bool HelperProcess::WaitForExit(DWORD timeoutMs) const
{
    return !m_process || WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0;
}

bool HelperProcess::IsRunning() const
{
    return m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT;
}

long HelperProcess::ExitCode() const
{
    DWORD code = 0;
    return m_process && !IsRunning() && GetExitCodeProcess(m_process, &code) ? static_cast<long>(code) : -1;
}

void HelperProcess::Stop()
{
    if (!m_process)
        return;
    if (IsRunning()) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 5000);
    }
    CloseHandle(m_process);
    m_process = nullptr;
    m_id = 0;
}

DWORD g_lateEndMs = 4000;

namespace {

struct LateEnd {
    HANDLE process;
    UINT exitCode;
    DWORD delayMs;
};

DWORD WINAPI EndAfterDelay(void* parameter)
{
    auto* end = static_cast<LateEnd*>(parameter);
    Sleep(end->delayMs);
    TerminateProcess(end->process, end->exitCode);
    CloseHandle(end->process);
    delete end;
    return 0;
}

} // namespace

BOOL TerminateLate(HANDLE process, UINT exitCode)
{
    auto* end = new LateEnd{nullptr, exitCode, g_lateEndMs};
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &end->process, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        delete end;
        return FALSE;
    }
    HANDLE thread = CreateThread(nullptr, 0, EndAfterDelay, end, 0, nullptr);
    if (!thread) {
        CloseHandle(end->process);
        delete end;
        return FALSE;
    }
    CloseHandle(thread);
    return TRUE;
}

} // namespace tw_test
