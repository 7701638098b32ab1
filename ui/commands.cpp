#include "ui/commands.h"

#include "config/config.h"
#include "core/app_messages.h"
#include "core/exe_path.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "core/window_text.h"
#include "monitor/backoff.h"
#include "monitor/health_check.h"
#include "monitor/error_log.h"
#include "monitor/log_file.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "ui/autostart.h"
#include "ui/monitor_command.h"
#include "ui/overlay.h"
#include "ui/pages.h"
#include "ui/settings_dialog.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

namespace tw {

namespace {

// The first selected row of the program list, or -1 when there is none or
// it lies beyond the table.
long long SelectedProgram()
{
    LRESULT row = SendMessageW(g_programList.Handle(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    if (row < 0 || static_cast<size_t>(row) >= g_programCount)
        return -1;
    return row;
}

void UncheckStartBox()
{
    SetBoxChecked(g_mainWindow, kIdStartMonitoring, false);
}

// Outlines the selected program's window for three seconds.
void MarkSelected()
{
    long long row = SelectedProgram();
    if (row < 0)
        return;
    ProgramView view;
    if (!CopyProgram(static_cast<size_t>(row), &view))
        return;
    SetTimer(g_mainWindow, kTimerHighlight, 3000, OnHighlightTimer);
    ShowHighlight(view.window);
}

void DeleteSelected()
{
    long long row = SelectedProgram();
    // The menu items are greyed while monitoring runs, but a WM_COMMAND can
    // come from anywhere: a running thread must never see its index shift.
    if (row < 0 || g_monitoring.load() == 1)
        return;
    RemoveProgram(static_cast<size_t>(row));
    g_config.Save();
    if (g_programCount == 0) {
        UncheckStartBox();
        StopPickerClockAndHighlight();
    }
    RefreshInfoPanel();
}

void DeleteAll()
{
    if (SelectedProgram() < 0 || g_monitoring.load() == 1)
        return;
    ClearPrograms();
    g_config.Save();
    UncheckStartBox();
    RefreshInfoPanel();
}

// Opens the logs folder in Explorer; made first, so that it opens even
// before its first file. The shell may hand the verb to COM objects, so COM
// is set up around the call, as Windows asks of ShellExecute's callers.
void ShowLogFolder()
{
    CStrW folder = LogFolderPath();
    if (folder.IsEmpty())
        return;
    CreateDirectoryW(folder.c_str(), nullptr);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(g_mainWindow, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (SUCCEEDED(com))
        CoUninitialize();
    if (result <= 32)
        TraceFormat(L"打开日志文件夹", L"无法打开 %s, 错误代码: %lld", folder.c_str(), static_cast<long long>(result));
}

void AppendLine(CStrW& text, const wchar_t* label, const CStrW& value)
{
    text.AppendChars(label, 0);
    text.AppendChars(value.c_str(), 0);
    text.AppendChars(L"\r\n", 0);
}

} // namespace

CStrW BuildInfoPanelText()
{
    CStrW text;
    size_t count = g_programCount;
    text.Reserve(count * 260);
    for (size_t i = 0; i < count; ++i) {
        ProgramView view;
        if (!CopyProgram(i, &view))
            break;
        if (i > 0)
            text.AppendChars(L"-------------------------\r\n", 0);
        CStrW number;
        // Upper-case and as wide as a pointer of this build, as "%p" prints it
        // with Microsoft's runtime; spelt out so every runtime agrees.
        number.Format(L"%0*llX", static_cast<int>(sizeof(void*) * 2),
                      static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(view.window)));
        AppendLine(text, L"窗口句柄：0x", number);
        number.Format(L"%lu", view.processId);
        AppendLine(text, L"进程ID  ：", number);
        AppendLine(text, L"窗口标题：", view.title);
        AppendLine(text, L"窗口类名：", view.className);
        AppendLine(text, L"进程名称：", view.name);
        AppendLine(text, L"程序路径：", view.path);
        CStrW state = RestartStateText(view);
        if (!state.IsEmpty())
            AppendLine(text, L"重启状态：", state);
        CStrW checks = CheckLines(view);
        if (!checks.IsEmpty()) {
            text.AppendChars(L"健康检查：\r\n", 0);
            text.AppendChars(checks.c_str(), 0);
        }
    }
    return text;
}

void RefreshInfoPanel()
{
    HWND edit = GetDlgItem(GetDlgItem(g_mainWindow, kIdTab), kIdInfoPanel);
    if (!edit)
        return;
    CStrW text = BuildInfoPanelText();
    if (TextDiffers(text, GetWindowTextString(edit).c_str()))
        SetWindowTextW(edit, text.c_str());
}

bool RouteCommand(WPARAM wParam, LPARAM lParam)
{
    UINT code = HIWORD(wParam);
    int id = LOWORD(wParam);
    HWND control = reinterpret_cast<HWND>(lParam);
    if ((code == 0 || code == 1) && !control)
        return OnMenuCommand(id) == 1;
    return OnPageCommand(control, code, id) == 1;
}

int OnPageCommand(HWND control, UINT code, int id)
{
    switch (id) {
    case kIdTab:
        if (code == static_cast<UINT>(TCN_SELCHANGING) || code == static_cast<UINT>(TCN_SELCHANGE)) {
            int selected = static_cast<int>(SendMessageW(control, TCM_GETCURSEL, 0, 0));
            if (HWND page = TabPage(control, selected))
                ShowWindow(page, code == static_cast<UINT>(TCN_SELCHANGE) ? SW_SHOW : SW_HIDE);
            return 1;
        }
        return 0;
    case kIdMoreSettings:
        OpenSettingsDialog();
        return 1;
    case kIdStartMonitoring:
        if (code != BN_CLICKED && code != kNotifyUnattended)
            return 0;
        ToggleMonitoring(control ? control : GetDlgItem(g_mainWindow, kIdStartMonitoring), code == kNotifyUnattended);
        return 1;
    case kIdBootStart:
        if (code != BN_CLICKED)
            return 0;
        OnAutostartClick(control ? control : GetDlgItem(SettingsPanel(), kIdBootStart));
        return 1;
    case kIdAutoReboot:
        g_config.SetAutoReboot(IsChecked(control) ? 1 : 0);
        return 1;
    case kIdHideTray: {
        CStrA value;
        value.Format("%lld", static_cast<long long>(IsChecked(control) ? 1 : 0));
        g_config.SetText(0, "hidetray", value);
        return 1;
    }
    case kIdSelfGuard:
        if (code != BN_CLICKED)
            return 0;
        g_config.SetInt(0, "selfguard", IsChecked(control) ? 1 : 0);
        PostMessageW(g_mainWindow, WM_TW_SELF_GUARD, IsChecked(control) ? 1 : 0, 0);
        return 1;
    case kIdWatchRunning:
        // Only the user's click is kept: the scheduler's changes of the box
        // last for this run.
        if (code != BN_CLICKED)
            return 0;
        g_config.SetInt(0, "watchrunning", IsChecked(control) ? 1 : 0);
        return 1;
    default:
        return 0;
    }
}

int OnMenuCommand(int id)
{
    switch (id) {
    case kCmdExportLog:
        g_errorLog.ExportToTextFile(g_mainWindow, DirectoryOf(ExecutablePath()));
        return 1;
    case kCmdOpenLogFolder:
        ShowLogFolder();
        return 1;
    case kCmdMarkWindow:
        MarkSelected();
        return 1;
    case kCmdDeleteOne:
        DeleteSelected();
        return 1;
    case kCmdDeleteAll:
        DeleteAll();
        return 1;
    case kCmdShowMain:
        ShowWindow(g_mainWindow, SW_SHOW);
        return 1;
    default:
        return 0;
    }
}

} // namespace tw
