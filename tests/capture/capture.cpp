// Takes PNG pictures of what the display shows, for the README and for tests
// that look at pixels:
//   capture screen FILE.png   the primary screen
//   capture windows FILE.png  the part of it that shows windows
//   capture tabs DIR          Tollwick's main window once per tab page,
//                             as DIR\tab-0.png ... tab-4.png
#include <windows.h>

#include <commctrl.h>
#include <objidl.h> // GDI+ needs it and lean builds leave it out

#include <gdiplus.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";
constexpr int kTabControlId = 10001;

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

// Copies a rectangle of the screen as it is shown now.
bool SaveScreenRect(const RECT& rect, const std::wstring& file)
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

int CaptureTabs(const std::wstring& folder)
{
    HWND main = nullptr;
    for (int i = 0; i < 100 && !main; ++i, Sleep(100))
        main = FindWindowW(kMainClass, nullptr);
    if (!main) {
        fwprintf(stderr, L"capture: Tollwick's main window is not open\n");
        return 1;
    }
    ShowWindow(main, SW_SHOWNORMAL);
    SetWindowPos(main, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(main);
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
        fwprintf(stderr, L"usage: capture screen|windows FILE.png | capture tabs DIR\n");
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
    Gdiplus::GdiplusShutdown(token);
    return result;
}
