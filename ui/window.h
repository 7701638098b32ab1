// Thin wrappers over windows. A superclass registered here runs one shared
// dispatcher, which hands a window's messages to the wrapper object bound to
// it before the system class sees them. Wrappers own nothing: a handle and
// the handlers of their kind. User interface thread only.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include "core/str.h"

namespace tw {

// Byte offsets into the extra bytes of every superclass registered here.
constexpr int kClassExtraBytes = 16;
constexpr int kWindowExtraBytes = 40;
constexpr int kClassBaseProcIndex = 8;     // base-procedure cache, 0 until the first message
constexpr int kWindowCreateParamIndex = 8; // creation parameter, stored at WM_CREATE
constexpr int kWindowObjectIndex = 16;     // the bound wrapper, 0 when unbound

// Registers newName as a superclass of baseName whose procedure is
// DispatchWndProc and returns newName; a system class asked for under its own
// name is used unchanged. Null when newName is null or registration fails.
const wchar_t* RegisterSuperclass(const wchar_t* baseName, const wchar_t* newName);
LRESULT CALLBACK DispatchWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Per-window hover record, kept in GWLP_USERDATA for the window's life.
struct HoverState {
    HWND window;
    LONG state;    // 0 normal, 1 hot, 2 pressed
    LONG tracking; // 1 while a TrackMouseEvent request is outstanding
    LPARAM createParam;
};
HoverState* GetHoverState(HWND window);

// A new control font: the icon-title font with face "微软雅黑", 12 pixels.
HFONT MakeControlFont();
// The control font of the newest control made by CWndBase::Create.
HFONT LastControlFont();

class CWindows {
public:
    virtual INT_PTR Reserved(void* a, void* b) = 0;
    virtual LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    ~CWindows() = default;
};

class CWndBase : public CWindows {
public:
    CWndBase() = default;
    CWndBase(const CWndBase&) = delete;
    CWndBase& operator=(const CWndBase&) = delete;
    ~CWndBase();

    INT_PTR Reserved(void*, void*) override { return 0; }
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

    // Creates a window with the control font; the object is bound to it when
    // its class is a superclass registered here. userParam is what the
    // window's handlers see as lpCreateParams.
    HWND Create(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
                int height, HWND parent, int controlId, HINSTANCE instance, void* userParam);

    HWND Handle() const { return m_window; }
    void SetHandle(HWND window) { m_window = window; }

protected:
    void Unbind();

    HWND m_window = nullptr;
};

// Hover tracking for labels, check boxes and the push button: the state is
// recorded and the window invalidated; painting stays the system's.
LRESULT HoverWndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam);

class CBtn : public CWndBase {
public:
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
};

class CSs : public CWndBase {
public:
    virtual ~CSs() = default;
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
};

class CCheckBox : public CWndBase {
public:
    virtual ~CCheckBox() = default;
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
};

class CEs : public CWndBase {
public:
    virtual ~CEs() = default;
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
};

class CListView : public CWndBase {
public:
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    // A report-style owner-data list at (1, 21), 360 x 210, hidden until its
    // page is shown, with grid lines and full-row selection.
    HWND CreateReport(HWND parent, int controlId);
};

class CTray : public CWndBase {
public:
    CTray();
    NOTIFYICONDATAW& IconData() { return m_icon; }
    // Adds the notification-area icon for window (nothing if it is not a
    // window); Readd shows it again after the taskbar was re-created.
    void Add(HWND window, HICON icon, const wchar_t* tip);
    void Readd();
    void Remove();

private:
    NOTIFYICONDATAW m_icon;
};

// The text of the child control id of parent; empty when there is none.
CStrW FieldText(HWND parent, int id);

// A message box captioned with the program's name; a box without a caption
// would be titled "Error" by the system, whatever it says.
int ShowMessageBox(HWND owner, const wchar_t* text, UINT type);

} // namespace tw
