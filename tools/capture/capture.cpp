// Takes PNG pictures of what the display shows, for the README
// (tools/screenshots.sh, whose steps each mode is) and the demo run:
//   capture screen|settings|drag FILE.png | tabs|backoff|health DIR | click ID
#include <windows.h>

#include <commctrl.h>
#include <objidl.h> // GDI+ needs it and lean builds leave it out

#include <gdiplus.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using tw_test::StartXdotool;
using tw_test::WaitFor;

const wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";
constexpr int kPickerId = 10000;
constexpr int kTabId = 10001;
constexpr int kInfoPanelId = 10300;
// The tabs of "高级配置" and the index of its page "健康检查".
constexpr int kSettingsPagesId = 1019;
constexpr WPARAM kHealthPage = 2;
constexpr int kHeartbeatFileId = 1020;
constexpr int kHealthGraceId = 1025;
constexpr int kHealthCyclesId = 1026;
// GDI+'s PNG encoder.
const CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

int Failed(const wchar_t* what, const std::wstring& detail = L"")
{
    fwprintf(stderr, L"capture: %ls%ls\n", what, detail.c_str());
    return 1;
}

// Copies a rectangle of the screen as it is shown now, with the cursor drawn
// where the pointer is (a screen copy leaves it out), into a PNG file.
bool SaveScreenRect(RECT rect, const std::wstring& file, HCURSOR pointer = nullptr)
{
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (!IntersectRect(&rect, &rect, &screen))
        return false;
    HDC display = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(display);
    HBITMAP bitmap = CreateCompatibleBitmap(display, rect.right - rect.left, rect.bottom - rect.top);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, rect.right - rect.left, rect.bottom - rect.top, display, rect.left, rect.top, SRCCOPY);
    POINT at;
    ICONINFO icon = {};
    if (pointer && GetCursorPos(&at) && GetIconInfo(pointer, &icon)) {
        DrawIconEx(memory, at.x - rect.left - static_cast<int>(icon.xHotspot),
                   at.y - rect.top - static_cast<int>(icon.yHotspot), pointer, 0, 0, 0, nullptr,
                   DI_NORMAL | DI_DEFAULTSIZE);
        DeleteObject(icon.hbmMask);
        DeleteObject(icon.hbmColor);
    }
    SelectObject(memory, old);
    bool saved = Gdiplus::Bitmap(bitmap, nullptr).Save(file.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, display);
    return saved;
}

// Tollwick's main window at the top left, in front, ready for a picture.
// Where no notification area exists, Wine shows the tray icons in a small
// window of its own at the top left; it is no part of Tollwick's look.
HWND BringMainWindow()
{
    if (HWND tray = FindWindowW(nullptr, L"Wine System Tray"))
        ShowWindow(tray, SW_HIDE);
    HWND main = nullptr;
    if (!WaitFor([&] { return (main = FindWindowW(kMainClass, nullptr)) != nullptr; }, 10000))
        Failed(L"Tollwick's main window is not open");
    ShowWindow(main, SW_SHOWNORMAL);
    SetWindowPos(main, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE);
    SetForegroundWindow(main);
    Sleep(300);
    return main;
}

RECT FrameOf(HWND window)
{
    RECT frame;
    GetWindowRect(window, &frame);
    return frame;
}

// Arrow keys move the selection as a user's would, so that the program sees
// its own selection notifications.
void SelectTab(HWND tab, int page)
{
    for (int press = 0; press < 10 && SendMessageW(tab, TCM_GETCURSEL, 0, 0) != page; ++press) {
        UINT key = SendMessageW(tab, TCM_GETCURSEL, 0, 0) > page ? VK_LEFT : VK_RIGHT;
        PostMessageW(tab, WM_KEYDOWN, key, 1);
        PostMessageW(tab, WM_KEYUP, key, 0xC0000001);
        Sleep(100);
    }
    Sleep(700);
}

// The main window once per tab page, as DIR\tab-N.png, or only the pages
// given with their file names.
int CaptureTabs(const std::wstring& folder, std::vector<std::pair<int, std::wstring>> pages = {})
{
    HWND main = BringMainWindow();
    HWND tab = GetDlgItem(main, kTabId);
    int count = pages.empty() ? static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0)) : 0;
    for (int i = 0; i < count; ++i)
        pages.push_back({i, L"tab-" + std::to_wstring(i) + L".png"});
    int failures = main ? 0 : 1;
    for (size_t i = 0; main && i < pages.size(); ++i) {
        SelectTab(tab, pages[i].first);
        std::wstring file = folder + L"\\" + pages[i].second;
        if (!SaveScreenRect(FrameOf(main), file))
            failures += Failed(L"could not write ", file);
    }
    return failures ? 1 : 0;
}

// The demo program dies sooner than its stable time after every start, so
// its restarts back off; the fourth wait (8 periods) shows long enough for
// pictures of the info page and the program list.
int CaptureBackoff(const std::wstring& folder)
{
    HWND info = GetDlgItem(GetDlgItem(BringMainWindow(), kTabId), kInfoPanelId);
    auto fourth = [&] {
        wchar_t text[4096] = {0};
        SendMessageTimeoutW(info, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
        return wcsstr(text, L"(第 4 次)") != nullptr;
    };
    if (!info || !WaitFor(fourth, 300000))
        return Failed(L"no fourth held restart within 5 minutes");
    return CaptureTabs(folder, {{0, L"backoff-info.png"}, {1, L"backoff-list.png"}});
}

// The demo program's heartbeat check failing, on the info page and in the
// program list.
int CaptureHealth(const std::wstring& folder)
{
    HWND info = GetDlgItem(GetDlgItem(BringMainWindow(), kTabId), kInfoPanelId);
    auto failing = [&] {
        wchar_t text[4096] = {0};
        SendMessageTimeoutW(info, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
        // While the program runs: a held restart's wait takes the row.
        return wcsstr(text, L"心跳文件不存在") != nullptr && wcsstr(text, L"重启状态") == nullptr;
    };
    if (!info || !WaitFor(failing, 120000))
        return Failed(L"the heartbeat check did not fail while the program ran within two minutes");
    // The list first, while the program still runs.
    return CaptureTabs(folder, {{1, L"health-list.png"}, {0, L"health-info.png"}});
}

int CaptureSettings(const std::wstring& file)
{
    HWND panel = GetDlgItem(GetDlgItem(BringMainWindow(), kTabId), 10002);
    PostMessageW(panel, WM_COMMAND, MAKEWPARAM(10003, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(panel, 10003)));
    // Tollwick is the only program with dialogs on this display.
    HWND dialog = nullptr;
    if (!WaitFor([&] { return (dialog = FindWindowW(L"#32770", L"高级配置")) && IsWindowVisible(dialog); }, 10000))
        return Failed(L"the dialog 高级配置 did not open");
    // On its page of health checks (focusing a tab selects it, as a click),
    // with a heartbeat file the demo program never writes: its row then
    // shows the failing check. So many failures in a row are allowed that
    // the check never closes it during the pictures.
    SendMessageW(GetDlgItem(dialog, kSettingsPagesId), TCM_SETCURFOCUS, kHealthPage, 0);
    const std::pair<int, const wchar_t*> fields[] = {
        {kHeartbeatFileId, L"%ProgramData%\\Demo\\heartbeat.txt"}, {kHealthGraceId, L"0"}, {kHealthCyclesId, L"1000"}};
    for (const auto& field : fields)
        SetDlgItemTextW(dialog, field.first, field.second);
    Sleep(700);
    bool saved = SaveScreenRect(FrameOf(dialog), file);
    // Closed as its title bar's close button closes it (which saves).
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    WaitFor([&] { return !IsWindow(dialog); }, 5000);
    return saved ? 0 : Failed(L"could not write ", file);
}

// Real pointer input; true once the pointer is at expected (if given).
bool PointerInput(const std::wstring& args, POINT expected)
{
    if (!StartXdotool(args))
        return Failed(L"xdotool does not start") == 0;
    return expected.x < 0 || WaitFor(
                                 [&] {
                                     POINT now;
                                     return GetCursorPos(&now) && now.x == expected.x && now.y == expected.y;
                                 },
                                 3000);
}

std::wstring MoveTo(POINT p)
{
    return L"mousemove " + std::to_wstring(p.x) + L" " + std::to_wstring(p.y);
}

// Presses on the finder box, moves onto the demo program and rests there
// until the overlay shows; the picture covers both windows and what lies
// around them, with Tollwick's finder cursor (from its own resources: another
// process's cursor cannot be asked for everywhere). The drop then adds the
// program, as a user's would.
int CaptureDrag(const std::wstring& file)
{
    HWND main = BringMainWindow();
    HWND demo = main ? FindWindowW(L"TollwickDemoWnd", nullptr) : nullptr;
    if (!demo)
        return Failed(L"the demo program is not open");
    SetWindowPos(demo, HWND_TOP, 460, 60, 0, 0, SWP_NOSIZE);
    Sleep(500);
    HWND box = GetDlgItem(main, kPickerId);
    RECT boxRect = FrameOf(box), demoRect = FrameOf(demo), mainRect = FrameOf(main), area;
    POINT start = {(boxRect.left + boxRect.right) / 2, (boxRect.top + boxRect.bottom) / 2};
    POINT target = {demoRect.left + 60, demoRect.bottom - 40};
    POINT halfway = {(start.x + target.x) / 2, (start.y + target.y) / 2};
    HWND overlay = FindWindowW(L"shadow", nullptr);
    // The box gives up its picture when the drag begins.
    bool moved = PointerInput(MoveTo(start), start) && PointerInput(L"mousedown 1", {-1, -1}) &&
                 WaitFor([&] { return GetWindowLongPtrW(box, GWLP_USERDATA) == 0; }, 3000) &&
                 PointerInput(MoveTo(halfway) + L" sleep 0.1 " + MoveTo(target), target) &&
                 WaitFor([&] { return overlay && IsWindowVisible(overlay); }, 3000);
    Sleep(600);
    UnionRect(&area, &mainRect, &demoRect);
    InflateRect(&area, 30, 30);
    DWORD processId = 0;
    GetWindowThreadProcessId(main, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    wchar_t path[MAX_PATH] = {0};
    DWORD size = MAX_PATH;
    HMODULE resources = process && QueryFullProcessImageNameW(process, 0, path, &size)
                            ? LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)
                            : nullptr;
    CloseHandle(process);
    auto finder =
        static_cast<HCURSOR>(LoadImageW(resources, MAKEINTRESOURCEW(130), IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE));
    bool saved = moved && SaveScreenRect(area, file, finder);
    DestroyCursor(finder);
    FreeLibrary(resources);
    PointerInput(L"mouseup 1", {-1, -1});
    WaitFor([&] { return GetWindowLongPtrW(box, GWLP_USERDATA) != 0; }, 3000);
    if (!moved)
        return Failed(L"the drag did not reach the demo program or showed no overlay");
    return saved ? 0 : Failed(L"could not write ", file);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc == 3 ? argv[1] : L"";
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        return 1;
    int result = 2;
    if (mode == L"screen") {
        result = SaveScreenRect(FrameOf(GetDesktopWindow()), argv[2]) ? 0 : Failed(L"could not write ", argv[2]);
    } else if (mode == L"tabs") {
        result = CaptureTabs(argv[2]);
    } else if (mode == L"settings") {
        result = CaptureSettings(argv[2]);
    } else if (mode == L"drag") {
        result = CaptureDrag(argv[2]);
    } else if (mode == L"backoff") {
        result = CaptureBackoff(argv[2]);
    } else if (mode == L"health") {
        result = CaptureHealth(argv[2]);
    } else if (mode == L"click") {
        HWND main = BringMainWindow();
        int id = _wtoi(argv[2]);
        result = main && PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                      reinterpret_cast<LPARAM>(GetDlgItem(main, id)))
                     ? 0
                     : 1;
    } else {
        fwprintf(stderr,
                 L"usage: capture screen|settings|drag FILE.png | capture tabs|backoff|health DIR | capture click ID\n");
    }
    Gdiplus::GdiplusShutdown(token);
    return result;
}
