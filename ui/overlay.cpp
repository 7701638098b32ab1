#include "ui/overlay.h"

#include "core/guard.h"
#include "ui/window.h"

#include <objidl.h> // GDI+ needs it and lean builds leave it out

#include <gdiplus.h>

namespace tw {

HWND g_overlayWindow = nullptr;

namespace {

namespace gp = Gdiplus::DllExports;

const wchar_t kOverlayClass[] = L"shadow";
constexpr Gdiplus::ARGB kDimColour = 0xB4000000;   // black at alpha 180
constexpr Gdiplus::ARGB kFrameColour = 0xFFFF0000; // opaque red

ULONG_PTR g_gdiplusToken = 0;
int g_screenWidth = 0;
int g_screenHeight = 0;
HFONT g_overlayFont = nullptr;

// The screen-sized 32-bit surface that every redraw reuses.
struct OverlaySurface {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previousBitmap = nullptr;
    Gdiplus::GpGraphics* graphics = nullptr;
};
OverlaySurface g_surface;

void ReleaseOverlaySurface()
{
    if (g_surface.graphics)
        gp::GdipDeleteGraphics(g_surface.graphics);
    if (g_surface.dc && g_surface.previousBitmap)
        SelectObject(g_surface.dc, g_surface.previousBitmap);
    if (g_surface.bitmap)
        DeleteObject(g_surface.bitmap);
    if (g_surface.dc)
        DeleteDC(g_surface.dc);
    g_surface = OverlaySurface();
}

LRESULT OverlayProcBody(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        ReleaseOverlaySurface();
        if (g_gdiplusToken)
            Gdiplus::GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
        g_screenWidth = g_screenHeight = 0;
        g_overlayWindow = nullptr;
        if (g_overlayFont) {
            DeleteObject(g_overlayFont);
            g_overlayFont = nullptr;
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK OverlayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Guarded(L"高亮窗口", static_cast<LRESULT>(0),
                   [&] { return OverlayProcBody(window, message, wParam, lParam); });
}

void FillDimmed(Gdiplus::GpBrush* brush, int x, int y, int width, int height)
{
    // GDI+ refuses rectangles of negative size; a target partly off the
    // screen gives them, and those parts need no dimming.
    if (width > 0 && height > 0)
        gp::GdipFillRectangleI(g_surface.graphics, brush, x, y, width, height);
}

void DrawHighlight(const RECT& r)
{
    int w = g_screenWidth;
    int h = g_screenHeight;
    gp::GdipGraphicsClear(g_surface.graphics, 0x00000000);
    Gdiplus::GpSolidFill* brush = nullptr;
    Gdiplus::GpPen* pen = nullptr;
    gp::GdipCreateSolidFill(kDimColour, &brush);
    gp::GdipCreatePen1(kFrameColour, 2.0f, Gdiplus::UnitPixel, &pen);
    if (pen)
        gp::GdipDrawRectangleI(g_surface.graphics, pen, r.left + 2, r.top + 2, r.right - r.left - 4,
                               r.bottom - r.top - 4);
    if (brush) {
        FillDimmed(brush, 0, 0, r.left, h);
        FillDimmed(brush, r.left, 0, r.right - r.left, r.top);
        FillDimmed(brush, r.right, 0, w - r.right, h);
        FillDimmed(brush, r.left, r.bottom, r.right - r.left, h - r.bottom);
    }
    gp::GdipFlush(g_surface.graphics, Gdiplus::FlushIntentionSync);
    if (pen)
        gp::GdipDeletePen(pen);
    if (brush)
        gp::GdipDeleteBrush(brush);
}

void PresentOverlay()
{
    HDC windowDc = GetDC(g_overlayWindow);
    SIZE size = {g_screenWidth, g_screenHeight};
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(g_overlayWindow, windowDc, nullptr, &size, g_surface.dc, &origin, 0, &blend, ULW_ALPHA);
    ReleaseDC(g_overlayWindow, windowDc);
}

} // namespace

void CreateOverlaySurface()
{
    ReleaseOverlaySurface();
    HDC screen = GetDC(nullptr);
    g_surface.dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (!g_surface.dc)
        return;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = g_screenWidth;
    info.bmiHeader.biHeight = g_screenHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(g_screenWidth) * static_cast<DWORD>(g_screenHeight) * 4;
    void* bits = nullptr;
    g_surface.bitmap = CreateDIBSection(g_surface.dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (g_surface.bitmap)
        g_surface.previousBitmap = SelectObject(g_surface.dc, g_surface.bitmap);
    if (g_overlayFont)
        SelectObject(g_surface.dc, g_overlayFont);
    SetBkMode(g_surface.dc, TRANSPARENT);
}

void CreateHighlightOverlay(HWND owner)
{
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr) != Gdiplus::Ok)
        g_gdiplusToken = 0;

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = OverlayProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kOverlayClass;
    RegisterClassExW(&wc);

    g_screenWidth = GetSystemMetrics(SM_CXSCREEN);
    g_screenHeight = GetSystemMetrics(SM_CYSCREEN);
    g_overlayWindow = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT | WS_EX_TOPMOST,
                                      kOverlayClass, L"shadow", WS_POPUP | WS_VISIBLE | WS_SYSMENU, 0, 0, g_screenWidth,
                                      g_screenHeight, owner, nullptr, instance, nullptr);
    if (!g_overlayWindow) {
        // Without its window nothing would ever shut GDI+ down again.
        if (g_gdiplusToken)
            Gdiplus::GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
        return;
    }
    g_overlayFont = MakeControlFont();
    CreateOverlaySurface();
}

void ShowHighlight(HWND target)
{
    if (!g_overlayWindow || !IsWindow(g_overlayWindow))
        return;
    if (!g_surface.graphics && g_surface.dc)
        gp::GdipCreateFromHDC(g_surface.dc, &g_surface.graphics);
    if (!g_surface.graphics)
        return;
    if (!IsWindowVisible(g_overlayWindow))
        ShowWindow(g_overlayWindow, SW_SHOWNA);
    // A window that has gone leaves an empty rectangle at the origin: the
    // whole screen is dimmed.
    RECT r = {};
    GetWindowRect(target, &r);
    DrawHighlight(r);
    PresentOverlay();
}

void HideHighlight()
{
    if (g_overlayWindow && IsWindow(g_overlayWindow))
        ShowWindow(g_overlayWindow, SW_HIDE);
}

void DestroyHighlight()
{
    if (!g_overlayWindow)
        return;
    HideHighlight();
    DestroyWindow(g_overlayWindow);
    g_overlayWindow = nullptr;
}

void OnHighlightTimerBody(HWND window, UINT_PTR timerId)
{
    KillTimer(window, timerId);
    HideHighlight();
}

void CALLBACK OnHighlightTimer(HWND window, UINT, UINT_PTR timerId, DWORD)
{
    Guarded(L"高亮窗口", [&] { OnHighlightTimerBody(window, timerId); });
}

} // namespace tw
