// A small program that the engine tests start and watch: it shows windows,
// exits, crashes, stops answering, shows error dialogs or takes memory as its
// command line asks, or, with --soak, when the soak driver tells it. It uses nothing of the
// program under test.
#include <windows.h>

#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

namespace {

struct Options {
    std::wstring title = L"Tollwick helper";
    std::wstring className = L"TollwickHelperWnd";
    bool noWindow = false;
    bool owned = false;
    bool child = false;
    int x = 40;
    int y = 40;
    int showAfter = 0;
    int exitAfter = -1;
    int exitCode = 0;
    int crashAfter = -1;
    int hangAtStart = 0;
    int hangAfter = -1;
    int hangFor = 0;
    UINT hangOnMessage = 0;
    std::wstring errorBox;
    std::wstring crashWindow;
    UINT answerMessage = 0;
    LONG_PTR answerResult = 0;
    std::wstring infoFile;
    // Obeys the soak driver's commands (kSoakCommand) to its main window.
    bool soak = false;
    // A launcher: starts a copy of itself with the other options and exits.
    bool relaunch = false;
    // Private memory taken at the start and written to, in MB.
    int allocateMb = 0;
    std::wstring copyArgs;
};

Options g_options;
HWND g_main = nullptr;

constexpr UINT_PTR kAfterShowTimer = 1;

// The soak driver posts kSoakCommand with one of the actions in wParam; it
// sends kSoakBoxesClosed to learn how many error boxes have been closed.
constexpr UINT kSoakCommand = WM_APP + 0x50;
constexpr UINT kSoakBoxesClosed = WM_APP + 0x51;
constexpr WPARAM kSoakCrash = 1;
constexpr WPARAM kSoakExit = 2;
constexpr WPARAM kSoakHang = 3;
constexpr WPARAM kSoakErrorBox = 4;
constexpr UINT kSoakExitCode = 3;

LRESULT g_soakBoxesClosed = 0;

void WriteInfo(const std::wstring& line, bool append)
{
    if (g_options.infoFile.empty())
        return;
    FILE* file = _wfopen(g_options.infoFile.c_str(), append ? L"ab" : L"wb");
    if (!file)
        return;
    int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    fputs(utf8.c_str(), file);
    fclose(file);
}

void Crash()
{
    // On Windows no error-reporting dialog keeps the crashed process alive.
    SetErrorMode(SetErrorMode(0) | SEM_NOGPFAULTERRORBOX);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// The soak's crash ends the process at once with the access violation's
// code, as a crash with no debugger or error reporting does; Wine would
// otherwise start its debugger, which keeps the process for a while.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

// Backslash and n in the text stand for a line break.
std::wstring Lines(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'n') {
            out += L"\r\n";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void AfterShow(HWND window)
{
    WriteInfo(L"hwnd=" + std::to_wstring(reinterpret_cast<INT_PTR>(window)) + L"\n", true);
    if (g_options.hangAtStart > 0)
        Sleep(static_cast<DWORD>(g_options.hangAtStart));
    if (!g_options.crashWindow.empty()) {
        CreateWindowExW(0, L"TollwickHelperCrash", g_options.crashWindow.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 360,
                        40, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    if (!g_options.errorBox.empty())
        SetTimer(window, kAfterShowTimer, 50, nullptr);
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_options.answerMessage && message == g_options.answerMessage)
        return g_options.answerResult;
    if (g_options.soak && window == g_main) {
        if (message == kSoakBoxesClosed)
            return g_soakBoxesClosed;
        if (message == kSoakCommand && wParam == kSoakErrorBox) {
            // The box's text carries the driver's number, so that the line
            // the watchdog logs can be told from every other one.
            std::wstring text = g_options.title + L" 错误 #" + std::to_wstring(static_cast<long long>(lParam));
            MessageBoxW(window, text.c_str(), L"错误", MB_OK | MB_ICONERROR);
            ++g_soakBoxesClosed;
            return 0;
        }
    }
    if (g_options.hangOnMessage && message == g_options.hangOnMessage) {
        Sleep(static_cast<DWORD>(g_options.hangFor));
        return 0;
    }
    switch (message) {
    case WM_TIMER:
        if (wParam == kAfterShowTimer) {
            KillTimer(window, kAfterShowTimer);
            MessageBoxW(window, Lines(g_options.errorBox).c_str(), L"错误", MB_OK | MB_ICONERROR);
            return 0;
        }
        break;
    case WM_DESTROY:
        if (window == g_main)
            PostQuitMessage(g_options.exitCode);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterClasses(HINSTANCE instance)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = MainProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = g_options.className.c_str();
    if (!RegisterClassExW(&wc))
        return false;
    wc.lpszClassName = L"TollwickHelperOwner";
    RegisterClassExW(&wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"TollwickHelperCrash";
    RegisterClassExW(&wc);
    return true;
}

void ShowMainWindow(HINSTANCE instance)
{
    HWND owner = nullptr;
    if (g_options.owned)
        owner = CreateWindowExW(0, L"TollwickHelperOwner", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                nullptr, instance, nullptr);
    // An owned window is a popup, as owned dialogs and tool windows are: only
    // then does the system report its owner as its parent.
    DWORD style = owner ? WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE : WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    g_main = CreateWindowExW(0, g_options.className.c_str(), g_options.title.c_str(), style, g_options.x, g_options.y,
                             300, 200, owner, nullptr, instance, nullptr);
    // A control over the client area's left part, for picking by a child.
    if (g_main && g_options.child)
        CreateWindowExW(0, L"button", L"child", WS_CHILD | WS_VISIBLE, 10, 10, 150, 80, g_main, nullptr, instance,
                        nullptr);
    if (g_main)
        AfterShow(g_main);
}

void ParseOptions()
{
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args)
        return;
    auto number = [&](int i) { return i < count ? _wtoi(args[i]) : 0; };
    auto text = [&](int i) { return i < count ? std::wstring(args[i]) : std::wstring(); };
    for (int i = 1; i < count; ++i) {
        std::wstring a = args[i];
        if (a != L"--relaunch")
            g_options.copyArgs += L" \"" + a + L"\"";
        if (a == L"--relaunch")
            g_options.relaunch = true;
        else if (a == L"--title")
            g_options.title = text(++i);
        else if (a == L"--class")
            g_options.className = text(++i);
        else if (a == L"--no-window")
            g_options.noWindow = true;
        else if (a == L"--owned")
            g_options.owned = true;
        else if (a == L"--child")
            g_options.child = true;
        else if (a == L"--at") {
            g_options.x = number(++i);
            g_options.y = number(++i);
        } else if (a == L"--show-after")
            g_options.showAfter = number(++i);
        else if (a == L"--exit-after")
            g_options.exitAfter = number(++i);
        else if (a == L"--exit-code")
            g_options.exitCode = number(++i);
        else if (a == L"--crash-after")
            g_options.crashAfter = number(++i);
        else if (a == L"--hang-at-start")
            g_options.hangAtStart = number(++i);
        else if (a == L"--hang-after")
            g_options.hangAfter = number(++i);
        else if (a == L"--hang-for")
            g_options.hangFor = number(++i);
        else if (a == L"--hang-on-message")
            g_options.hangOnMessage = static_cast<UINT>(number(++i));
        else if (a == L"--error-box")
            g_options.errorBox = text(++i);
        else if (a == L"--crash-window")
            g_options.crashWindow = text(++i);
        else if (a == L"--answer") {
            g_options.answerMessage = static_cast<UINT>(number(++i));
            g_options.answerResult = static_cast<LONG_PTR>(i + 1 < count ? _wtoi64(args[++i]) : 0);
        } else if (a == L"--write-info")
            g_options.infoFile = text(++i);
        else if (a == L"--soak")
            g_options.soak = true;
        else if (a == L"--allocate")
            g_options.allocateMb = number(++i);
    }
    LocalFree(args);
}

} // namespace

// Commits the memory and writes to every page of it, so that it counts as
// the process's own in every measure (Wine's counts only pages in use).
void TakeMemory(int megabytes)
{
    SIZE_T size = static_cast<SIZE_T>(megabytes) * 1024 * 1024;
    auto* block = static_cast<volatile char*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    for (SIZE_T at = 0; block && at < size; at += 4096)
        block[at] = 1;
}

// Starts this program again with the options but --relaunch.
void StartCopy()
{
    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\"" + g_options.copyArgs;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    ParseOptions();
    if (g_options.relaunch) {
        StartCopy();
        return 0;
    }
    if (g_options.crashAfter == 0)
        Crash();
    if (g_options.allocateMb > 0)
        TakeMemory(g_options.allocateMb);
    wchar_t directory[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, directory);
    WriteInfo(L"pid=" + std::to_wstring(GetCurrentProcessId()) + L"\ncmdline=" + GetCommandLineW() + L"\ncwd=" +
                  directory + L"\n",
              false);
    if (!RegisterClasses(instance))
        return 2;

    // Thread timers carry no window, so their ids come from the system.
    UINT_PTR showTimer = 0;
    UINT_PTR exitTimer = 0;
    UINT_PTR crashTimer = 0;
    UINT_PTR hangTimer = 0;
    if (!g_options.noWindow) {
        if (g_options.showAfter > 0)
            showTimer = SetTimer(nullptr, 0, static_cast<UINT>(g_options.showAfter), nullptr);
        else
            ShowMainWindow(instance);
    }
    if (g_options.exitAfter >= 0)
        exitTimer = SetTimer(nullptr, 0, static_cast<UINT>(g_options.exitAfter > 0 ? g_options.exitAfter : 1), nullptr);
    if (g_options.crashAfter > 0)
        crashTimer = SetTimer(nullptr, 0, static_cast<UINT>(g_options.crashAfter), nullptr);
    if (g_options.hangAfter >= 0)
        hangTimer = SetTimer(nullptr, 0, static_cast<UINT>(g_options.hangAfter > 0 ? g_options.hangAfter : 1), nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && !msg.hwnd) {
            UINT_PTR id = msg.wParam;
            KillTimer(nullptr, id);
            if (id == showTimer)
                ShowMainWindow(instance);
            else if (id == exitTimer)
                ExitProcess(static_cast<UINT>(g_options.exitCode));
            else if (id == crashTimer)
                Crash();
            else if (id == hangTimer)
                Sleep(static_cast<DWORD>(g_options.hangFor));
            continue;
        }
        // Outside any window procedure, where nothing could catch the crash,
        // and the hang stops this loop itself.
        if (g_options.soak && msg.message == kSoakCommand && msg.hwnd == g_main) {
            if (msg.wParam == kSoakCrash) {
                SetUnhandledExceptionFilter(EndOnCrash);
                Crash();
            } else if (msg.wParam == kSoakExit)
                ExitProcess(kSoakExitCode);
            else if (msg.wParam == kSoakHang)
                for (;;)
                    Sleep(INFINITE);
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
