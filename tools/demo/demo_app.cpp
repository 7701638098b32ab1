// The program the demo run lets Tollwick watch. It shows a window with a
// countdown, then fails: on odd starts it exits, on even starts it stops
// answering, so a newcomer sees both a restart and a hang kill. It counts its
// starts in a file beside itself.
#include <windows.h>

#include <wchar.h>

#include <string>

namespace {

int g_start = 1;
int g_secondsLeft = 20;
HWND g_text = nullptr;

int CountThisStart()
{
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wcscpy(wcsrchr(path, L'\\') + 1, L"demo-starts.txt");
    int count = GetPrivateProfileIntW(L"demo", L"starts", 0, path) + 1;
    WritePrivateProfileStringW(L"demo", L"starts", std::to_wstring(count).c_str(), path);
    return count;
}

void ShowStatus()
{
    wchar_t text[256];
    swprintf(text, 256, L"第 %d 次启动。\n%d 秒后本程序将%ls，\nTollwick 会把它重新启动。", g_start, g_secondsLeft,
             g_start % 2 ? L"退出" : L"停止响应");
    SetWindowTextW(g_text, text);
}

LRESULT CALLBACK DemoProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && --g_secondsLeft > 0)
        ShowStatus();
    else if (message == WM_TIMER && g_start % 2)
        DestroyWindow(window);
    else if (message == WM_TIMER)
        // Stops answering messages for good; Tollwick ends it as a hung program.
        for (;;)
            Sleep(1000);
    else if (message == WM_DESTROY)
        PostQuitMessage(0);
    else if (message == WM_CTLCOLORSTATIC)
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    g_start = CountThisStart();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DemoProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"TollwickDemoWnd";
    HWND window = RegisterClassW(&wc) ? CreateWindowExW(0, wc.lpszClassName, L"Tollwick 演示程序", WS_OVERLAPPEDWINDOW,
                                                        420, 60, 360, 150, nullptr, nullptr, instance, nullptr)
                                      : nullptr;
    if (!window)
        return 1;
    g_text = CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE, 16, 16, 320, 90, window, nullptr, instance,
                             nullptr);
    HFONT font = CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, L"微软雅黑");
    SendMessageW(g_text, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    ShowStatus();
    ShowWindow(window, show);
    SetTimer(window, 1, 1000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DeleteObject(font);
    return 0;
}
