// Waiting for a condition and finding another process's windows, for the
// end-to-end suites, the package tests and the soak driver alike.
#pragma once

#include <windows.h>

#include <string>

namespace tw_test {

template <typename Done> bool WaitFor(Done done, DWORD timeoutMs)
{
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < timeoutMs; Sleep(20)) {
        if (done())
            return true;
    }
    return done();
}

// A window's text, asked with a time limit so that a hung owner cannot stall
// the caller.
inline std::wstring TextOf(HWND window)
{
    wchar_t text[4096] = {0};
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

// The first top-level window of that process with this class and title (null
// matches any).
inline HWND FindOwnWindow(DWORD processId, const wchar_t* className, const wchar_t* title)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, className, title); window;
         window = FindWindowExW(nullptr, window, className, title)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            return window;
    }
    return nullptr;
}

} // namespace tw_test
