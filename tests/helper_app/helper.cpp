// A small program that the engine tests start and watch: it shows windows,
// exits, crashes (with or without its own crash filter), stops answering,
// shows error dialogs, takes memory or takes its time to close as its
// command line asks, or, with --soak, when the soak driver tells it. It uses
// nothing of the program under test.
#include <windows.h>

#include <shellapi.h>

#include <stdio.h>

#include <string>

namespace {

struct Options {
    std::wstring title = L"Tollwick helper";
    std::wstring className = L"TollwickHelperWnd";
    bool noWindow = false, owned = false, child = false, soak = false;
    int x = 40, y = 40;
    int showAfter = 0, exitAfter = -1, crashAfter = -1, crashRawAfter = -1, hangAtStart = 0, hangAfter = -1,
        hangFor = 0;
    // Private memory taken at the start and written to, in MB.
    int allocateMb = 0;
    // Asked to close, the main window first "saves its work" for this long
    // (the info file then says saved) and only then goes; 0: at once.
    int closeDelay = 0;
    std::wstring errorBox, infoFile;
    UINT answerMessage = 0;
    LONG_PTR answerResult = 0;
    // A launcher: starts a copy of itself with the other options and exits.
    bool relaunch = false;
    // A heartbeat file written every 200 ms, for heartbeatFor ms (-1: for
    // good) while the window goes on answering.
    std::wstring heartbeatFile;
    int heartbeatFor = -1;
    // A thread that keeps one core busy; the process's own processor time
    // written every 100 ms to cpu-PID.txt in cpuDir, where the tests read
    // it (Wine gives another process's reading wrong).
    bool spin = false;
    std::wstring cpuDir;
    std::wstring copyArgs;
} g_options;

HWND g_main = nullptr;

// The soak driver posts kSoakCommand with an action in wParam (1 crash, 2
// exit, 3 hang, 4 error box) and sends kSoakBoxesClosed to learn how many
// error boxes have been closed.
constexpr UINT kSoakCommand = WM_APP + 0x50;
constexpr UINT kSoakBoxesClosed = WM_APP + 0x51;
LRESULT g_soakBoxesClosed = 0;

void WriteInfo(const std::wstring& line)
{
    FILE* file = g_options.infoFile.empty() ? nullptr : _wfopen(g_options.infoFile.c_str(), L"wb");
    if (!file)
        return;
    char utf8[4096] = {0};
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof(utf8) - 1, nullptr, nullptr);
    fputs(utf8, file);
    fclose(file);
}

// Ends the process at once with the access violation's code, as a crash
// with no debugger or error reporting does (on Windows no error-reporting
// dialog keeps it alive; Wine would otherwise start its debugger).
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

void Crash()
{
    SetErrorMode(SetErrorMode(0) | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// A crash left to the system, as a program without a crash filter of its
// own crashes: Windows Error Reporting or Wine's debugger takes it over.
void CrashRaw()
{
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// The error box; backslash and n in the text stand for a line break.
void ShowErrorBox(HWND window, std::wstring text)
{
    for (size_t at; (at = text.find(L"\\n")) != std::wstring::npos;)
        text.replace(at, 2, L"\r\n");
    MessageBoxW(window, text.c_str(), L"错误", MB_OK | MB_ICONERROR);
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_options.answerMessage && message == g_options.answerMessage)
        return g_options.answerResult;
    if (g_options.soak && window == g_main && message == kSoakBoxesClosed)
        return g_soakBoxesClosed;
    if (g_options.soak && window == g_main && message == kSoakCommand && wParam == 4) {
        // The text carries the driver's number, so that the line the
        // watchdog logs can be told from every other one.
        ShowErrorBox(window, g_options.title + L" 错误 #" + std::to_wstring(static_cast<long long>(lParam)));
        ++g_soakBoxesClosed;
        return 0;
    }
    if (message == WM_TIMER && wParam == 1) {
        KillTimer(window, 1);
        ShowErrorBox(window, g_options.errorBox);
        return 0;
    }
    if (message == WM_CLOSE && window == g_main && g_options.closeDelay > 0) {
        SetTimer(window, 2, static_cast<UINT>(g_options.closeDelay), nullptr);
        return 0;
    }
    if (message == WM_TIMER && wParam == 2) {
        KillTimer(window, 2);
        WriteInfo(L"saved\n");
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY && window == g_main)
        PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

void ShowMainWindow(HINSTANCE instance)
{
    // An owned window is a popup, as owned dialogs and tool windows are: only
    // then does the system report its owner as its parent.
    HWND owner = g_options.owned ? CreateWindowExW(0, L"TollwickHelperOwner", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                                   100, nullptr, nullptr, instance, nullptr)
                                 : nullptr;
    DWORD style = owner ? WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE : WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    g_main = CreateWindowExW(0, g_options.className.c_str(), g_options.title.c_str(), style, g_options.x, g_options.y,
                             300, 200, owner, nullptr, instance, nullptr);
    if (!g_main)
        return;
    // A control over the client area's left part, for picking by a child.
    if (g_options.child)
        CreateWindowExW(0, L"button", L"child", WS_CHILD | WS_VISIBLE, 10, 10, 150, 80, g_main, nullptr, instance,
                        nullptr);
    Sleep(static_cast<DWORD>(g_options.hangAtStart));
    if (!g_options.errorBox.empty())
        SetTimer(g_main, 1, 50, nullptr);
}

void ParseOptions()
{
    Options& o = g_options;
    const std::pair<const wchar_t*, bool*> flags[] = {{L"--no-window", &o.noWindow}, {L"--owned", &o.owned},
                                                      {L"--child", &o.child},        {L"--soak", &o.soak},
                                                      {L"--relaunch", &o.relaunch},  {L"--spin", &o.spin}};
    const std::pair<const wchar_t*, std::wstring*> texts[] = {
        {L"--title", &o.title},         {L"--class", &o.className},         {L"--error-box", &o.errorBox},
        {L"--write-info", &o.infoFile}, {L"--heartbeat", &o.heartbeatFile}, {L"--cpu-dir", &o.cpuDir}};
    const std::pair<const wchar_t*, int*> numbers[] = {
        {L"--show-after", &o.showAfter},      {L"--exit-after", &o.exitAfter},
        {L"--hang-at-start", &o.hangAtStart}, {L"--hang-after", &o.hangAfter},
        {L"--hang-for", &o.hangFor},          {L"--at", &o.x},
        {L"--allocate", &o.allocateMb},       {L"--crash-after", &o.crashAfter},
        {L"--close-delay", &o.closeDelay},    {L"--crash-raw-after", &o.crashRawAfter},
        {L"--heartbeat-for", &o.heartbeatFor}};
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    auto next = [&](int& i) { return ++i < count ? std::wstring(args[i]) : std::wstring(); };
    for (int i = 1; i < count; ++i) {
        std::wstring a = args[i];
        o.copyArgs += a == L"--relaunch" ? L"" : L" \"" + a + L"\"";
        for (const auto& flag : flags)
            *flag.second |= a == flag.first;
        for (const auto& text : texts)
            *text.second = a == text.first ? next(i) : *text.second;
        for (const auto& number : numbers)
            *number.second = a == number.first ? _wtoi(next(i).c_str()) : *number.second;
        if (a == L"--at")
            o.y = _wtoi(next(i).c_str());
        if (a == L"--answer") {
            o.answerMessage = static_cast<UINT>(_wtoi(next(i).c_str()));
            o.answerResult = static_cast<LONG_PTR>(_wtoi64(next(i).c_str()));
        }
    }
    LocalFree(args);
}

// Commits the memory and writes to every page of it, so that it counts as
// the process's own in every measure (Wine's counts only pages in use).
void TakeMemory(int megabytes)
{
    SIZE_T size = static_cast<SIZE_T>(megabytes) * 1024 * 1024;
    auto* block = static_cast<volatile char*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    for (SIZE_T at = 0; block && at < size; at += 4096)
        block[at] = 1;
}

DWORD WINAPI WriteHeartbeat(void*)
{
    ULONGLONG until = g_options.heartbeatFor < 0 ? ~0ull : GetTickCount64() + g_options.heartbeatFor;
    while (GetTickCount64() < until) {
        HANDLE file = CreateFileW(g_options.heartbeatFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, "alive", 5, &written, nullptr);
            CloseHandle(file);
        }
        Sleep(200);
    }
    return 0;
}

DWORD WINAPI Spin(void*)
{
    for (volatile unsigned long long n = 0;; n = n + 1) {
    }
}

DWORD WINAPI WriteCpuTime(void*)
{
    std::wstring path = g_options.cpuDir + L"\\cpu-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    for (;;) {
        FILETIME created, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        ULARGE_INTEGER k, u;
        k.LowPart = kernel.dwLowDateTime;
        k.HighPart = kernel.dwHighDateTime;
        u.LowPart = user.dwLowDateTime;
        u.HighPart = user.dwHighDateTime;
        if (FILE* file = _wfopen(path.c_str(), L"wb")) {
            fprintf(file, "%llu", static_cast<unsigned long long>(k.QuadPart + u.QuadPart));
            fclose(file);
        }
        Sleep(100);
    }
}

void StartWorkers()
{
    if (!g_options.heartbeatFile.empty())
        CloseHandle(CreateThread(nullptr, 0, WriteHeartbeat, nullptr, 0, nullptr));
    if (g_options.spin)
        CloseHandle(CreateThread(nullptr, 0, Spin, nullptr, 0, nullptr));
    if (!g_options.cpuDir.empty())
        CloseHandle(CreateThread(nullptr, 0, WriteCpuTime, nullptr, 0, nullptr));
}

// Starts this program again with its options but --relaunch.
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

// A thread timer after ms (at least 1), or none for a negative ms.
UINT_PTR After(int ms)
{
    return ms >= 0 ? SetTimer(nullptr, 0, static_cast<UINT>(ms > 0 ? ms : 1), nullptr) : 0;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    ParseOptions();
    if (g_options.relaunch) {
        StartCopy();
        return 0;
    }
    TakeMemory(g_options.allocateMb);
    StartWorkers();
    wchar_t directory[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, directory);
    WriteInfo(L"pid=" + std::to_wstring(GetCurrentProcessId()) + L"\ncmdline=" + GetCommandLineW() + L"\ncwd=" +
              directory + L"\n");
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = MainProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    for (const wchar_t* name : {g_options.className.c_str(), L"TollwickHelperOwner"}) {
        wc.lpszClassName = name;
        if (!RegisterClassExW(&wc) && name == g_options.className.c_str())
            return 2;
    }
    // Thread timers carry no window, so their ids come from the system.
    UINT_PTR showTimer = g_options.noWindow ? 0 : After(g_options.showAfter > 0 ? g_options.showAfter : -1);
    if (!g_options.noWindow && !showTimer)
        ShowMainWindow(instance);
    UINT_PTR exitTimer = After(g_options.exitAfter), crashTimer = After(g_options.crashAfter);
    UINT_PTR hangTimer = After(g_options.hangAfter), crashRawTimer = After(g_options.crashRawAfter);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && !msg.hwnd) {
            KillTimer(nullptr, msg.wParam);
            if (msg.wParam == showTimer)
                ShowMainWindow(instance);
            else if (msg.wParam == crashTimer)
                Crash();
            else if (msg.wParam == crashRawTimer)
                CrashRaw();
            else if (msg.wParam == exitTimer)
                ExitProcess(0);
            else if (msg.wParam == hangTimer)
                Sleep(static_cast<DWORD>(g_options.hangFor));
            continue;
        }
        // Outside any window procedure, where nothing could catch the crash,
        // and the hang stops this loop itself.
        if (g_options.soak && msg.message == kSoakCommand && msg.hwnd == g_main && msg.wParam < 4) {
            if (msg.wParam == 1)
                Crash();
            if (msg.wParam == 2)
                ExitProcess(3);
            for (;;)
                Sleep(INFINITE);
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
