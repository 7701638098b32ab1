// The program the demo run lets Tollwick watch. It shows a window with a
// countdown, then fails: on odd starts it exits, on even starts it stops
// answering, so a newcomer sees both a restart and a hang kill. It counts its
// starts in a file beside itself.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

namespace {

constexpr int kSecondsToFailure = 20;
constexpr UINT_PTR kTickTimer = 1;

int g_start = 1;
int g_secondsLeft = kSecondsToFailure;
HFONT g_font = nullptr;

std::wstring BesideThisProgram(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return name;
    std::wstring result(path, length);
    return result.substr(0, result.rfind(L'\\') + 1) + name;
}

int CountThisStart()
{
    std::wstring path = BesideThisProgram(L"demo-starts.txt");
    int count = 0;
    if (FILE* file = _wfopen(path.c_str(), L"rb")) {
        if (fscanf(file, "%d", &count) != 1)
            count = 0;
        fclose(file);
    }
    ++count;
    if (FILE* file = _wfopen(path.c_str(), L"wb")) {
        fprintf(file, "%d\n", count);
        fclose(file);
    }
    return count;
}

bool ExitsThisTime()
{
    return g_start % 2 == 1;
}

std::wstring StatusText()
{
    wchar_t text[256];
    swprintf(text, 256, L"第 %d 次启动。\n%d 秒后本程序将%ls，\nTollwick 会把它重新启动。", g_start, g_secondsLeft,
             ExitsThisTime() ? L"退出" : L"停止响应");
    return text;
}

void Fail(HWND window)
{
    KillTimer(window, kTickTimer);
    if (ExitsThisTime()) {
        DestroyWindow(window);
        return;
    }
    // Stops answering messages for good; Tollwick ends it as a hung program.
    for (;;)
        Sleep(1000);
}

LRESULT CALLBACK DemoProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        if (--g_secondsLeft <= 0)
            Fail(window);
        else
            InvalidateRect(window, nullptr, TRUE);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        InflateRect(&area, -16, -16);
        HGDIOBJ old = SelectObject(dc, g_font ? g_font : GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        std::wstring text = StatusText();
        DrawTextW(dc, text.c_str(), -1, &area, DT_LEFT | DT_WORDBREAK);
        SelectObject(dc, old);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
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
    if (!RegisterClassW(&wc))
        return 1;
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"Tollwick 演示程序", WS_OVERLAPPEDWINDOW, 420, 60, 360, 150,
                                  nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    LOGFONTW face = {};
    face.lfHeight = -14;
    face.lfCharSet = DEFAULT_CHARSET;
    wcscpy(face.lfFaceName, L"微软雅黑");
    g_font = CreateFontIndirectW(&face);
    ShowWindow(window, show);
    SetTimer(window, kTickTimer, 1000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (g_font)
        DeleteObject(g_font);
    return 0;
}
