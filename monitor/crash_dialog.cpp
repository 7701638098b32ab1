#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/window_walk.h"

namespace tw {

namespace {

// The message text of a message box has this id on Windows and on Wine.
constexpr int kMessageTextId = 0xFFFF;

bool IsIconStatic(HWND window)
{
    return (GetWindowLongW(window, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

} // namespace

HWND FindMessageBoxText(HWND dialog)
{
    HWND fallback = nullptr;
    for (HWND child = FindWindowExW(dialog, nullptr, L"Static", nullptr); child;
         child = FindWindowExW(dialog, child, L"Static", nullptr)) {
        if (GetDlgCtrlID(child) == kMessageTextId)
            return child;
        if (!IsIconStatic(child) && GetWindowTextLengthW(child) > 0)
            fallback = child;
    }
    return fallback;
}

// A "错误" dialog of the program's own process is logged with its message
// text and closed. Dialogs of other programs are left alone, and one of
// them does not hide the program's own.
void CheckErrorDialog(size_t index)
{
    DWORD processId = ProgramProcessId(index);
    HWND dialog = processId ? FindTitledWindow(L"#32770", L"错误", &processId, 1, true) : nullptr;
    if (dialog) {
        CStrW text;
        if (HWND message = FindMessageBoxText(dialog)) {
            text = GetWindowTextString(message);
            ReplaceAll(text, L"\r\n", L" ");
            g_errorLog.Add(ProgramEvent(EventKind::ErrorWindowClosed, index), text.c_str());
        }
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        CountProgramEvent(index, ProgramCounter::ErrorWindowClosed);
        CStrW trace(L"被监控程序出现致命错误, ");
        AppendText(trace, text);
        Trace(L"检测错误", trace.c_str());
    }
    CheckErrorWindow(index);
}

// A crash-report window titled errflag is closed. The windows of every
// watched program's instance are passed over: a main window often carries
// the same title, and two instances of one program must not close each
// other's.
void CheckErrorWindow(size_t index)
{
    CStrW errflag = CopyProgramText(index, &CMonitorItem::errflag);
    if (errflag.IsEmpty())
        return;
    CArray<DWORD> instances;
    CopyInstanceIds(static_cast<size_t>(-1), &instances);
    HWND window = FindTitledWindow(nullptr, errflag.c_str(), instances.Count() ? &instances.At(0) : nullptr,
                                   instances.Count(), false);
    instances.Destroy();
    if (!window)
        return;
    PostMessageW(window, WM_CLOSE, 0, 0);
    const wchar_t text[] = L"已检测到程序崩溃, 正在重启程序中";
    Trace(L"检测崩溃", text);
    CountProgramEvent(index, ProgramCounter::ErrorWindowClosed);
    g_errorLog.Add(ProgramEvent(EventKind::ErrorWindowClosed, index), text);
}

} // namespace tw
