#include "ui/window.h"

#include "core/app_messages.h"

#include <commctrl.h>

#include <string.h>
#include <wchar.h>

namespace tw {

namespace {

// Each superclass finds its base procedure here on its first message; the
// class then caches it in its own extra bytes.
struct SuperclassEntry {
    wchar_t name[64];
    WNDPROC base;
};
constexpr int kMaxSuperclasses = 32;
SuperclassEntry g_superclasses[kMaxSuperclasses];
int g_superclassCount = 0;

HFONT g_controlFont = nullptr;

// Deletes the last control font at exit; the earlier ones stay with their
// controls for the program's life.
struct ControlFontSlot {
    ~ControlFontSlot()
    {
        if (g_controlFont)
            DeleteObject(g_controlFont);
    }
} g_controlFontSlot;

// The creation pair handed through CreateWindowExW to the first message.
struct CreationPair {
    CWndBase* object;
    void* userParam;
};

HINSTANCE ModuleHandle()
{
    static HINSTANCE module = GetModuleHandleW(nullptr);
    return module;
}

WNDPROC FindBaseProc(const wchar_t* className)
{
    for (int i = 0; i < g_superclassCount; ++i) {
        if (wcscmp(g_superclasses[i].name, className) == 0)
            return g_superclasses[i].base;
    }
    return nullptr;
}

WNDPROC BaseProcOf(HWND window)
{
    auto cached = reinterpret_cast<WNDPROC>(GetClassLongPtrW(window, kClassBaseProcIndex));
    if (cached)
        return cached;
    wchar_t name[64] = {0};
    if (!GetClassNameW(window, name, 64))
        return nullptr;
    WNDPROC base = FindBaseProc(name);
    if (base)
        SetClassLongPtrW(window, kClassBaseProcIndex, reinterpret_cast<LONG_PTR>(base));
    return base;
}

bool IsOurSuperclass(HWND window)
{
    return reinterpret_cast<WNDPROC>(GetClassLongPtrW(window, GCLP_WNDPROC)) == DispatchWndProc;
}

} // namespace

const wchar_t* RegisterSuperclass(const wchar_t* baseName, const wchar_t* newName)
{
    if (!newName)
        return nullptr;
    HINSTANCE module = ModuleHandle();
    WNDCLASSEXW base = {};
    base.cbSize = sizeof(base);
    bool haveBase = baseName && (GetClassInfoExW(module, baseName, &base) || GetClassInfoExW(nullptr, baseName, &base));
    if (haveBase && wcscmp(baseName, newName) == 0)
        return newName;
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(module, newName, &existing) && existing.lpfnWndProc == DispatchWndProc)
        return newName;
    if (wcslen(newName) >= 64 || g_superclassCount >= kMaxSuperclasses)
        return nullptr;
    WNDCLASSEXW created = haveBase ? base : WNDCLASSEXW{};
    created.cbSize = sizeof(created);
    created.lpfnWndProc = DispatchWndProc;
    created.lpszClassName = newName;
    created.lpszMenuName = nullptr;
    created.cbClsExtra = kClassExtraBytes;
    created.cbWndExtra = kWindowExtraBytes;
    created.hInstance = module;
    if (!RegisterClassExW(&created))
        return nullptr;
    SuperclassEntry& entry = g_superclasses[g_superclassCount++];
    wcscpy_s(entry.name, newName);
    entry.base = haveBase && base.lpfnWndProc ? base.lpfnWndProc : DefWindowProcW;
    return newName;
}

LRESULT CALLBACK DispatchWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC base = BaseProcOf(window);
    auto* object = reinterpret_cast<CWndBase*>(GetWindowLongPtrW(window, kWindowObjectIndex));
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        if (create && create->lpCreateParams) {
            auto* pair = static_cast<CreationPair*>(create->lpCreateParams);
            create->lpCreateParams = pair->userParam;
            object = pair->object;
            object->SetHandle(window);
            SetWindowLongPtrW(window, kWindowObjectIndex, reinterpret_cast<LONG_PTR>(object));
        }
    }
    if (object)
        return object->WndProc(base, window, message, wParam, lParam);
    return base ? CallWindowProcW(base, window, message, wParam, lParam)
                : DefWindowProcW(window, message, wParam, lParam);
}

HFONT MakeControlFont()
{
    LOGFONTW font = {};
    SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof(font), &font, 0);
    wcscpy_s(font.lfFaceName, L"微软雅黑");
    font.lfHeight = -12;
    return CreateFontIndirectW(&font);
}

HoverState* GetHoverState(HWND window)
{
    auto* hover = reinterpret_cast<HoverState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!hover) {
        hover = new HoverState{};
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(hover));
    }
    return hover;
}

HFONT LastControlFont()
{
    return g_controlFont;
}

CWndBase::~CWndBase()
{
    Unbind();
}

void CWndBase::Unbind()
{
    if (m_window && IsWindow(m_window) && IsOurSuperclass(m_window) &&
        GetWindowLongPtrW(m_window, kWindowObjectIndex) == reinterpret_cast<LONG_PTR>(this))
        SetWindowLongPtrW(m_window, kWindowObjectIndex, 0);
}

LRESULT CWndBase::WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return base ? CallWindowProcW(base, window, message, wParam, lParam)
                : DefWindowProcW(window, message, wParam, lParam);
}

HWND CWndBase::Create(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                      int width, int height, HWND parent, int controlId, HINSTANCE instance, void* userParam)
{
    Unbind();
    g_controlFont = MakeControlFont();
    CreationPair pair = {this, userParam};
    HWND window = CreateWindowExW(exStyle, className, text, style, x, y, width, height, parent,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)), instance, &pair);
    m_window = window;
    if (window)
        SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(g_controlFont), FALSE);
    return window;
}

namespace {

// WM_CREATE of the framework's controls: the creation parameter goes to the
// window's extra bytes and its hover record.
void StoreCreateParam(HWND window, LPARAM lParam, bool withHover)
{
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    LPARAM param = create ? reinterpret_cast<LPARAM>(create->lpCreateParams) : 0;
    SetWindowLongPtrW(window, kWindowCreateParamIndex, param);
    if (withHover) {
        HoverState* hover = GetHoverState(window);
        hover->window = window;
        hover->createParam = param;
    }
}

} // namespace

LRESULT HoverWndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        StoreCreateParam(window, lParam, true);
        break;
    case WM_MOUSEMOVE: {
        HoverState* hover = GetHoverState(window);
        if (!hover->tracking) {
            TRACKMOUSEEVENT track = {sizeof(track), TME_HOVER | TME_LEAVE, window, 100};
            TrackMouseEvent(&track);
            hover->tracking = 1;
            hover->state = 1;
        }
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    }
    case WM_LBUTTONDOWN:
        GetHoverState(window)->state = 2;
        InvalidateRect(window, nullptr, FALSE);
        break;
    case WM_LBUTTONUP: {
        POINT cursor;
        RECT rect;
        GetCursorPos(&cursor);
        GetWindowRect(window, &rect);
        GetHoverState(window)->state = PtInRect(&rect, cursor) ? 1 : 0;
        InvalidateRect(window, nullptr, FALSE);
        break;
    }
    case WM_MOUSELEAVE: {
        HoverState* hover = GetHoverState(window);
        if (hover->tracking == 1) {
            hover->state = 0;
            hover->tracking = 0;
        }
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    }
    case WM_NCDESTROY: {
        // The hover record lives as long as the window.
        auto* hover = reinterpret_cast<HoverState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete hover;
        break;
    }
    default:
        break;
    }
    return base ? CallWindowProcW(base, window, message, wParam, lParam)
                : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CBtn::WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HoverWndProc(base, window, message, wParam, lParam);
}

LRESULT CSs::WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HoverWndProc(base, window, message, wParam, lParam);
}

LRESULT CCheckBox::WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HoverWndProc(base, window, message, wParam, lParam);
}

LRESULT CEs::WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE)
        StoreCreateParam(window, lParam, false);
    return CWndBase::WndProc(base, window, message, wParam, lParam);
}

LRESULT CListView::WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE)
        StoreCreateParam(window, lParam, true);
    return CWndBase::WndProc(base, window, message, wParam, lParam);
}

HWND CListView::CreateReport(HWND parent, int controlId)
{
    constexpr DWORD kStyle = WS_CHILD | WS_BORDER | LVS_OWNERDATA | LVS_SHOWSELALWAYS | LVS_REPORT;
    HWND list = Create(0, WC_LISTVIEWW, nullptr, kStyle, 1, 21, 360, 210, parent, controlId, nullptr, this);
    if (list)
        SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    return list;
}

CTray::CTray()
{
    memset(&m_icon, 0, sizeof(m_icon));
    m_icon.cbSize = sizeof(m_icon);
}

void CTray::Add(HWND window, HICON icon, const wchar_t* tip)
{
    if (!IsWindow(window))
        return;
    m_window = window;
    m_icon.hWnd = window;
    m_icon.uID = 1;
    m_icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    m_icon.uCallbackMessage = kTrayCallbackMessage;
    m_icon.hIcon = icon;
    // The tip holds at most 64 characters of the title.
    wcsncpy_s(m_icon.szTip, tip ? tip : L"", 64);
    m_icon.uTimeout = 1000;
    Shell_NotifyIconW(NIM_ADD, &m_icon);
}

void CTray::Readd()
{
    if (m_icon.hWnd)
        Shell_NotifyIconW(NIM_ADD, &m_icon);
}

void CTray::Remove()
{
    if (m_icon.hWnd)
        Shell_NotifyIconW(NIM_DELETE, &m_icon);
}

CStrW FieldText(HWND parent, int id)
{
    HWND field = GetDlgItem(parent, id);
    int length = field ? GetWindowTextLengthW(field) : 0;
    CStrW text;
    if (length > 0) {
        wchar_t* buffer = text.Reserve(static_cast<size_t>(length) + 1);
        text.SetLength(static_cast<size_t>(GetWindowTextW(field, buffer, length + 1)));
    }
    return text;
}

int ShowMessageBox(HWND owner, const wchar_t* text, UINT type)
{
    return MessageBoxW(owner, text, L"Tollwick", type);
}

} // namespace tw
