#include "ui/picker.h"

#include "core/guard.h"
#include "core/handle.h"
#include "monitor/placement.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "ui/commands.h"
#include "ui/monitor_command.h"
#include "ui/overlay.h"
#include "ui/pages.h"

#include <tlhelp32.h>

#include <string.h>
#include <wchar.h>

#include <vector>

namespace tw {

namespace {

HCURSOR BoxCursor(HWND box)
{
    return reinterpret_cast<HCURSOR>(GetWindowLongPtrW(box, GWLP_USERDATA));
}

void SetBoxCursor(HWND box, HCURSOR cursor)
{
    SetWindowLongPtrW(box, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cursor));
    InvalidateRect(box, nullptr, FALSE);
}

void PaintBox(HWND box)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(box, &paint);
    RECT client;
    GetClientRect(box, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (HCURSOR cursor = BoxCursor(box))
        DrawIconEx(dc, 1, 1, cursor, 32, 32, 0, nullptr, DI_NORMAL);
    EndPaint(box, &paint);
}

void OnBoxMouseMove(HWND box, WPARAM keys)
{
    HCURSOR cursor = BoxCursor(box);
    if (cursor && reinterpret_cast<HCURSOR>(GetClassLongPtrW(box, GCLP_HCURSOR)) != cursor)
        SetClassLongPtrW(box, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(cursor));
    // Re-armed on every move, the timer fires only once the pointer rests.
    if (keys & MK_LBUTTON)
        SetTimer(g_mainWindow, kTimerPicker, 100, OnPickerTimer);
}

// The main window, every window it owns, and the overlay.
bool IsOwnWindow(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId == GetCurrentProcessId();
}

// The desktop and the shell's wallpaper windows stand for no program a user
// would want restarted; a drop there is a drop on nothing.
bool IsDesktopWindow(HWND window)
{
    if (window == GetDesktopWindow() || window == GetShellWindow())
        return true;
    wchar_t name[32] = {0};
    GetClassNameW(window, name, 32);
    return wcscmp(name, L"Progman") == 0 || wcscmp(name, L"WorkerW") == 0 || wcscmp(name, L"#32769") == 0;
}

// Name and path from the first entry of the process's module list.
void ReadMainModule(DWORD processId, CStrW* name, CStrW* path)
{
    CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
    if (!snapshot)
        return;
    MODULEENTRY32W entry;
    memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!Module32FirstW(snapshot.Get(), &entry))
        return;
    const wchar_t* exePath = entry.szExePath;
    if (wcsncmp(exePath, L"\\??\\", 4) == 0)
        exePath += 4;
    name->AssignChars(entry.szModule, 0);
    path->AssignChars(exePath, 0);
}

// Back to idle: no rest timer, no overlay, the finder picture in the box.
void EndDrag(HWND box)
{
    KillTimer(g_mainWindow, kTimerPicker);
    HideHighlight();
    SetBoxCursor(box, g_finderCursor);
}

// The picked texts that config.xml cannot hold as they are, one line each
// after its label; empty when it holds them all. GB18030 has a form for
// every character, so only an unpaired surrogate, which Windows allows in
// window titles and file names, ends up here.
CStrW TextsTheFileLoses(const CMonitorItem& record)
{
    const struct {
        const wchar_t* label;
        const CStrW& text;
    } texts[] = {{L"窗口标题：", record.title},
                 {L"窗口类名：", record.className},
                 {L"进程名称：", record.name},
                 {L"程序路径：", record.path},
                 {L"崩溃窗口：", record.errflag}};
    CStrW lost;
    for (const auto& t : texts) {
        if (NarrowKeeps(t.text))
            continue;
        lost.AppendChars(t.label, 0);
        lost.AppendChars(t.text.c_str(), 0);
        lost.AppendChars(L"\r\n", 0);
    }
    return lost;
}

void DropOnTarget(HWND box)
{
    ReleaseCapture();
    EndDrag(box);

    POINT cursor;
    GetCursorPos(&cursor);
    HWND target = PickTargetAt(cursor);
    if (!target)
        return;
    CMonitorItem record = {};
    DescribePickedWindow(target, &record);
    CStrW lost = TextsTheFileLoses(record);
    // Refused quietly for a program without a path, for one already in the
    // table (any letter case) and for a window that has gone.
    if (!AppendProgram(record))
        return;
    RefreshInfoPanel();
    // Said now, while the program is watched as picked, not after a restart
    // that reads the texts back changed.
    if (!lost.IsEmpty()) {
        CStrW text(L"以下信息含有配置文件无法保存的字符, 本程序重新启动后将无法还原:\r\n");
        text.AppendChars(lost.c_str(), 0);
        MessageBoxW(g_mainWindow, text.c_str(), L"无法完整保存", MB_OK | MB_ICONWARNING);
    }
}

} // namespace

LRESULT PickerBoxProc(WNDPROC base, HWND box, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        PaintBox(box);
        return 0;
    case WM_ENABLE:
        // The static control would repaint itself at once, blank: the
        // finder picture stays, enabled or not, through WM_PAINT.
        InvalidateRect(box, nullptr, FALSE);
        return 0;
    case WM_LBUTTONDOWN:
        SetBoxCursor(box, nullptr);
        SetCapture(box);
        return 0;
    case WM_MOUSEMOVE:
        OnBoxMouseMove(box, wParam);
        return 0;
    case WM_LBUTTONUP:
        DropOnTarget(box);
        return 0;
    case WM_CAPTURECHANGED:
        // The capture lost mid-drag (another window took it, or Escape in some
        // shells): the box must not stay empty with its timer running.
        if (!BoxCursor(box))
            EndDrag(box);
        return 0;
    case WM_MOUSELEAVE:
        SetClassLongPtrW(box, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(LoadCursorW(nullptr, IDC_ARROW)));
        return 0;
    default:
        return CallWindowProcW(base, box, message, wParam, lParam);
    }
}

void OnPickerTimerBody(HWND window, UINT_PTR timerId)
{
    KillTimer(window, timerId);
    POINT cursor;
    GetCursorPos(&cursor);
    HWND target = GetAncestor(WindowFromPoint(cursor), GA_ROOTOWNER);
    if (target && target != g_mainWindow)
        ShowHighlight(target);
}

void CALLBACK OnPickerTimer(HWND window, UINT, UINT_PTR timerId, DWORD)
{
    Guarded(L"窗口选择", [&] { OnPickerTimerBody(window, timerId); });
}

HWND PickTargetAt(POINT point)
{
    HWND target = GetAncestor(WindowFromPoint(point), GA_ROOTOWNER);
    if (!target || IsOwnWindow(target) || IsDesktopWindow(target))
        return nullptr;
    return target;
}

void DescribePickedWindow(HWND target, CMonitorItem* record)
{
    record->window = target;
    record->title = GetWindowTextString(target);
    record->className = GetWindowClassString(target);
    DWORD processId = 0;
    GetWindowThreadProcessId(target, &processId);
    record->processId = processId;
    if (processId)
        ReadMainModule(processId, &record->name, &record->path);
    if (record->name.IsEmpty()) {
        // A 32-bit build cannot list a 64-bit process's modules; the image
        // path still names the program.
        record->path = GetProcessIdImagePath(processId);
        const wchar_t* text = record->path.c_str();
        const wchar_t* slash = wcsrchr(text, L'\\');
        record->name.AssignChars(slash ? slash + 1 : text, 0);
    }
    record->errflag = GetFileDescription(record->path.c_str());
    // A program added now is brought back with the recovery of new programs,
    // its window where the user sees it now.
    record->recovery = kNewProgramRecovery;
    record->health = DefaultHealth();
    ReadWindowPlace(target, &record->place);
}

CStrW GetFileDescription(const wchar_t* path)
{
    if (!path || !*path)
        return CStrW();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return CStrW();
    // DWORD elements keep the resource's blocks aligned as VerQueryValueW expects.
    std::vector<DWORD> data(size / sizeof(DWORD) + 1);
    void* buffer = data.data();
    if (!GetFileVersionInfoW(path, 0, size, buffer))
        return CStrW();
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(buffer, L"\\VarFileInfo\\Translation", &value, &length) || !value || length < sizeof(DWORD))
        return CStrW();
    DWORD translation = *static_cast<const DWORD*>(value);
    // Language in the low half, code page in the high half; the key spells
    // the language first.
    CStrW query;
    query.Format(L"\\StringFileInfo\\%04x%04x\\FileDescription", LOWORD(translation), HIWORD(translation));
    if (!VerQueryValueW(buffer, query.c_str(), &value, &length) || !value)
        return CStrW();
    const wchar_t* text = static_cast<const wchar_t*>(value);
    // The reported length counts the terminating zero when there is one.
    size_t count = length;
    while (count > 0 && text[count - 1] == L'\0')
        --count;
    return count ? CStrW(text, count) : CStrW();
}

} // namespace tw
