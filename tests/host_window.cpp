#include "tests/host_window.h"

#include "monitor/monitor.h"
#include "monitor/ui_links.h"

namespace tw_test {

namespace {

WNDPROC g_hintBase = nullptr;

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (tw::HandleEngineMessage(window, message, wParam, lParam, &result))
        return result;
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK HintProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT && lParam)
        HostWindow::HintTexts().push_back(reinterpret_cast<const wchar_t*>(lParam));
    return CallWindowProcW(g_hintBase, window, message, wParam, lParam);
}

// Sleeps in the wait itself (at most waitMs), so that an idle pump costs
// nothing, then dispatches what came.
void Pump(DWORD waitMs)
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, waitMs, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace

std::vector<std::wstring>& HostWindow::HintTexts()
{
    static std::vector<std::wstring> texts;
    return texts;
}

HostWindow::HostWindow()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"TollwickTestHost";
    RegisterClassW(&wc);
    m_window = CreateWindowExW(0, L"TollwickTestHost", L"host", WS_OVERLAPPED, 0, 0, 200, 100, nullptr, nullptr,
                               instance, nullptr);
    HWND hint = CreateWindowExW(0, L"STATIC", L"如果检测到程序未运行,将自动运行", WS_CHILD, 0, 20, 100, 20, m_window,
                                nullptr, instance, nullptr);
    g_hintBase = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hint, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(HintProc)));
    HintTexts().clear();
    SetWatchRunning(true);
    tw::g_engineWindow = m_window;
    tw::g_hintLine = hint;
}

HostWindow::~HostWindow()
{
    tw::g_engineWindow = nullptr;
    tw::g_watchRunning = true;
    tw::g_hintLine = nullptr;
    DestroyWindow(m_window);
}

void HostWindow::SetWatchRunning(bool on) const
{
    tw::g_watchRunning = on;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    for (ULONGLONG start = GetTickCount64(); !done(); Pump(20)) {
        if (GetTickCount64() - start >= timeoutMs)
            return false;
    }
    return true;
}

void PumpFor(DWORD ms)
{
    ULONGLONG end = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64())
        Pump(static_cast<DWORD>(end - now));
}

} // namespace tw_test
