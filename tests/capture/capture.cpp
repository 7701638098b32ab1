// Takes PNG pictures of what the display shows, for the README and for tests
// that look at pixels:
//   capture screen FILE.png   the primary screen
//   capture windows FILE.png  the part of it that shows windows
//   capture tabs DIR          Tollwick's main window once per tab page,
//                             as DIR\tab-0.png ... tab-4.png
//   capture settings FILE.png the dialog "高级配置", opened and closed again
//                             as its button does
//   capture drag FILE.png     the finder dragged onto the demo program with
//                             real pointer input (xdotool), taken while it
//                             rests there, then dropped: the program is added
//   capture backoff DIR       once the info page tells of a restart held
//                             back after a fourth short run, that page and
//                             the program list as DIR\backoff-info.png and
//                             DIR\backoff-list.png
//   capture click ID          a click on the main window's control ID
#include <windows.h>

#include <commctrl.h>
#include <objidl.h> // GDI+ needs it and lean builds leave it out

#include <gdiplus.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";
constexpr wchar_t kDemoClass[] = L"TollwickDemoWnd";
constexpr int kTabControlId = 10001;
constexpr int kSettingsPanelId = 10002;
constexpr int kMoreSettingsId = 10003;
constexpr int kPickerId = 10000;
constexpr int kInfoPanelId = 10300;
constexpr int kFinderCursorId = 130;
// Where the pictures show the windows: Tollwick at the top left, the program
// it watches beside it.
constexpr POINT kMainPlace = {40, 40};
constexpr POINT kDemoPlace = {460, 60};

bool FindPngEncoder(CLSID* clsid)
{
    UINT count = 0;
    UINT size = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, size, codecs) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i) {
        if (wcscmp(codecs[i].MimeType, L"image/png") == 0) {
            *clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

// Draws a cursor where the pointer is: a screen copy leaves the pointer out.
void DrawPointer(HDC dc, const RECT& rect, HCURSOR cursor)
{
    POINT at;
    ICONINFO icon = {};
    if (!cursor || !GetCursorPos(&at) || !GetIconInfo(cursor, &icon))
        return;
    DrawIconEx(dc, at.x - rect.left - static_cast<int>(icon.xHotspot),
               at.y - rect.top - static_cast<int>(icon.yHotspot), cursor, 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
    if (icon.hbmMask)
        DeleteObject(icon.hbmMask);
    if (icon.hbmColor)
        DeleteObject(icon.hbmColor);
}

// Copies a rectangle of the screen as it is shown now.
bool SaveScreenRect(const RECT& rect, const std::wstring& file, HCURSOR pointer = nullptr)
{
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    DrawPointer(memory, rect, pointer);
    SelectObject(memory, old);
    bool saved = false;
    CLSID png;
    if (FindPngEncoder(&png)) {
        Gdiplus::Bitmap picture(bitmap, nullptr);
        saved = picture.Save(file.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

void Pump(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(20);
    }
}

// Arrow keys move the selection as a user's would, so the program sees its
// own selection notifications. (TCM_GETITEMRECT would need a pointer into the
// other process.)
void PressTabKey(HWND tab, UINT key)
{
    PostMessageW(tab, WM_KEYDOWN, key, 1);
    PostMessageW(tab, WM_KEYUP, key, 0xC0000001);
    Pump(100);
}

bool SelectTab(HWND tab, int index)
{
    for (int press = 0; press < 10; ++press) {
        LRESULT current = SendMessageW(tab, TCM_GETCURSEL, 0, 0);
        if (current == index)
            return true;
        PressTabKey(tab, current > index ? VK_LEFT : VK_RIGHT);
    }
    return false;
}

template <typename Done> bool WaitFor(Done done, DWORD milliseconds)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Pump(50)) {
        if (done())
            return true;
    }
    return done();
}

HWND FindTopWindow(const wchar_t* className, const wchar_t* what)
{
    HWND window = nullptr;
    if (!WaitFor([&] { return (window = FindWindowW(className, nullptr)) != nullptr; }, 10000))
        fwprintf(stderr, L"capture: %ls is not open\n", what);
    return window;
}

// Where no notification area exists, Wine shows the tray icons in a small
// window of its own at the top left; it is no part of Tollwick's look.
void HideWineTrayWindow()
{
    if (HWND tray = FindWindowW(nullptr, L"Wine System Tray"))
        ShowWindow(tray, SW_HIDE);
}

// Tollwick's main window at its place, in front, ready for a picture.
HWND BringMainWindow()
{
    HideWineTrayWindow();
    HWND main = FindTopWindow(kMainClass, L"Tollwick's main window");
    if (!main)
        return nullptr;
    ShowWindow(main, SW_SHOWNORMAL);
    SetWindowPos(main, HWND_TOP, kMainPlace.x, kMainPlace.y, 0, 0, SWP_NOSIZE);
    SetForegroundWindow(main);
    Pump(300);
    return main;
}

int CaptureTabs(const std::wstring& folder)
{
    HWND main = BringMainWindow();
    if (!main)
        return 1;
    HWND tab = GetDlgItem(main, kTabControlId);
    int pages = static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
    int failures = 0;
    for (int i = 0; i < pages; ++i) {
        if (!SelectTab(tab, i))
            fwprintf(stderr, L"capture: tab %d would not open\n", i);
        Pump(700);
        RECT frame;
        GetWindowRect(main, &frame);
        std::wstring file = folder + L"\\tab-" + std::to_wstring(i) + L".png";
        if (!SaveScreenRect(frame, file)) {
            fwprintf(stderr, L"capture: could not write %ls\n", file.c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

// A window's text, asked with a time limit (WM_GETTEXT reaches another
// process's edit control; GetWindowTextW would not ask it).
std::wstring TextOf(HWND window)
{
    wchar_t text[4096] = {0};
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

// The demo program dies sooner than its stable time after every start, so
// its restarts back off; the fourth wait (8 periods) shows long enough for
// pictures of the info page and of the program's row.
int CaptureBackoff(const std::wstring& folder)
{
    HWND main = BringMainWindow();
    if (!main)
        return 1;
    HWND tab = GetDlgItem(main, kTabControlId);
    HWND info = GetDlgItem(tab, kInfoPanelId);
    if (!WaitFor([&] { return TextOf(info).find(L"(第 4 次)") != std::wstring::npos; }, 300000)) {
        fwprintf(stderr, L"capture: no fourth held restart within 5 minutes\n");
        return 1;
    }
    const struct {
        int page;
        const wchar_t* name;
    } pictures[] = {{0, L"backoff-info.png"}, {1, L"backoff-list.png"}};
    int failures = 0;
    for (const auto& picture : pictures) {
        if (!SelectTab(tab, picture.page))
            fwprintf(stderr, L"capture: tab %d would not open\n", picture.page);
        Pump(700);
        RECT frame;
        GetWindowRect(main, &frame);
        std::wstring file = folder + L"\\" + picture.name;
        if (!SaveScreenRect(frame, file)) {
            fwprintf(stderr, L"capture: could not write %ls\n", file.c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

int CaptureSettings(const std::wstring& file)
{
    HWND main = BringMainWindow();
    if (!main)
        return 1;
    HWND panel = GetDlgItem(GetDlgItem(main, kTabControlId), kSettingsPanelId);
    HWND button = GetDlgItem(panel, kMoreSettingsId);
    PostMessageW(panel, WM_COMMAND, MAKEWPARAM(kMoreSettingsId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    DWORD tollwick = 0;
    GetWindowThreadProcessId(main, &tollwick);
    HWND dialog = nullptr;
    auto open = [&] {
        for (dialog = FindWindowW(L"#32770", L"高级配置"); dialog;
             dialog = FindWindowExW(nullptr, dialog, L"#32770", L"高级配置")) {
            DWORD owner = 0;
            GetWindowThreadProcessId(dialog, &owner);
            if (owner == tollwick && IsWindowVisible(dialog))
                return true;
        }
        return false;
    };
    if (!WaitFor(open, 10000)) {
        fwprintf(stderr, L"capture: the dialog 高级配置 did not open\n");
        return 1;
    }
    Pump(700);
    RECT frame;
    GetWindowRect(dialog, &frame);
    bool saved = SaveScreenRect(frame, file);
    // Closed as its title bar's close button closes it (which saves).
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    WaitFor([&] { return !IsWindow(dialog); }, 5000);
    if (!saved)
        fwprintf(stderr, L"capture: could not write %ls\n", file.c_str());
    return saved ? 0 : 1;
}

// Real pointer input from the X input tool through Wine's Z: drive. Wine
// cannot wait for a Unix process, so callers wait for what the input does.
bool PointerInput(const std::wstring& args)
{
    const wchar_t tool[] = L"Z:\\usr\\bin\\xdotool";
    std::wstring command = std::wstring(L"\"") + tool + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(tool, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        fwprintf(stderr, L"capture: xdotool does not start (error %lu)\n", GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::wstring At(POINT p)
{
    return std::to_wstring(p.x) + L" " + std::to_wstring(p.y);
}

bool PointerAt(POINT p)
{
    POINT now;
    return GetCursorPos(&now) && now.x == p.x && now.y == p.y;
}

POINT Centre(const RECT& r)
{
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// The finder cursor that Tollwick shows during a drag, from its own
// resources (another process's cursor cannot be asked for everywhere).
HCURSOR LoadFinderCursor(HWND main, HMODULE* module)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(main, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    wchar_t path[MAX_PATH] = {0};
    DWORD size = MAX_PATH;
    bool named = process && QueryFullProcessImageNameW(process, 0, path, &size);
    if (process)
        CloseHandle(process);
    *module =
        named ? LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE) : nullptr;
    if (!*module)
        return nullptr;
    return static_cast<HCURSOR>(
        LoadImageW(*module, MAKEINTRESOURCEW(kFinderCursorId), IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE));
}

// Presses on the finder box, moves onto the demo program and rests there
// until the overlay shows; the picture covers both windows and what lies
// around them. The drop then adds the program, as a user's would.
int CaptureDrag(const std::wstring& file)
{
    HWND main = BringMainWindow();
    HWND demo = main ? FindTopWindow(kDemoClass, L"the demo program") : nullptr;
    if (!demo)
        return 1;
    SetWindowPos(demo, HWND_TOP, kDemoPlace.x, kDemoPlace.y, 0, 0, SWP_NOSIZE);
    Pump(500);
    RECT boxRect;
    RECT demoRect;
    RECT mainRect;
    GetWindowRect(GetDlgItem(main, kPickerId), &boxRect);
    GetWindowRect(demo, &demoRect);
    GetWindowRect(main, &mainRect);
    POINT box = Centre(boxRect);
    POINT target = {demoRect.left + 60, demoRect.bottom - 40};
    HWND overlay = FindWindowW(L"shadow", nullptr);
    if (!PointerInput(L"mousemove " + At(box)) || !WaitFor([&] { return PointerAt(box); }, 3000) ||
        !PointerInput(L"mousedown 1"))
        return 1;
    // The box gives up its picture when the drag begins.
    WaitFor([&] { return GetWindowLongPtrW(GetDlgItem(main, kPickerId), GWLP_USERDATA) == 0; }, 3000);
    POINT halfway = {(box.x + target.x) / 2, (box.y + target.y) / 2};
    bool moved = PointerInput(L"mousemove " + At(halfway) + L" sleep 0.1 mousemove " + At(target)) &&
                 WaitFor([&] { return PointerAt(target); }, 3000) &&
                 WaitFor([&] { return overlay && IsWindowVisible(overlay); }, 3000);
    Pump(600);
    RECT area;
    UnionRect(&area, &mainRect, &demoRect);
    InflateRect(&area, 30, 30);
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    IntersectRect(&area, &area, &screen);
    HMODULE resources = nullptr;
    HCURSOR finder = LoadFinderCursor(main, &resources);
    bool saved = moved && SaveScreenRect(area, file, finder);
    if (finder)
        DestroyCursor(finder);
    if (resources)
        FreeLibrary(resources);
    PointerInput(L"mouseup 1");
    WaitFor([&] { return GetWindowLongPtrW(GetDlgItem(main, kPickerId), GWLP_USERDATA) != 0; }, 3000);
    if (!moved)
        fwprintf(stderr, L"capture: the drag did not reach the demo program or showed no overlay\n");
    else if (!saved)
        fwprintf(stderr, L"capture: could not write %ls\n", file.c_str());
    return saved ? 0 : 1;
}

int ClickControl(const std::wstring& id)
{
    HWND main = FindTopWindow(kMainClass, L"Tollwick's main window");
    if (!main)
        return 1;
    int control = _wtoi(id.c_str());
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, control)));
    return 0;
}

int CaptureScreen(const std::wstring& file)
{
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (SaveScreenRect(screen, file))
        return 0;
    fwprintf(stderr, L"capture: could not write %ls\n", file.c_str());
    return 1;
}

BOOL CALLBACK AddWindowArea(HWND window, LPARAM area)
{
    RECT frame;
    if (IsWindowVisible(window) && GetWindowRect(window, &frame) && !IsRectEmpty(&frame)) {
        RECT* united = reinterpret_cast<RECT*>(area);
        UnionRect(united, united, &frame);
    }
    return TRUE;
}

int CaptureWindows(const std::wstring& file)
{
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    RECT area = {};
    EnumWindows(AddWindowArea, reinterpret_cast<LPARAM>(&area));
    if (!IntersectRect(&area, &area, &screen))
        area = screen;
    if (SaveScreenRect(area, file))
        return 0;
    fwprintf(stderr, L"capture: could not write %ls\n", file.c_str());
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(
            stderr,
            L"usage: capture screen|windows|settings|drag FILE.png | capture tabs|backoff DIR | capture click ID\n");
        return 2;
    }
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        return 1;
    std::wstring mode = argv[1];
    int result = 2;
    if (mode == L"screen")
        result = CaptureScreen(argv[2]);
    else if (mode == L"windows")
        result = CaptureWindows(argv[2]);
    else if (mode == L"tabs")
        result = CaptureTabs(argv[2]);
    else if (mode == L"settings")
        result = CaptureSettings(argv[2]);
    else if (mode == L"drag")
        result = CaptureDrag(argv[2]);
    else if (mode == L"backoff")
        result = CaptureBackoff(argv[2]);
    else if (mode == L"click")
        result = ClickControl(argv[2]);
    Gdiplus::GdiplusShutdown(token);
    return result;
}
