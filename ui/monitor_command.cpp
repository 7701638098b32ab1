#include "ui/monitor_command.h"

#include "config/config.h"
#include "core/str.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "ui/schedule_view.h"
#include "ui/overlay.h"
#include "ui/pages.h"

#include <shlwapi.h>

namespace tw {

namespace {

constexpr COLORREF kStatusRed = 0x0000FF;
constexpr COLORREF kStatusBlue = 0xFF0000;

int g_commandDepth = 0;

// Marks the command as running for as long as it is in scope.
class CCommandRunning {
public:
    CCommandRunning() { ++g_commandDepth; }
    ~CCommandRunning() { --g_commandDepth; }
    CCommandRunning(const CCommandRunning&) = delete;
    CCommandRunning& operator=(const CCommandRunning&) = delete;
};

void SetStatus(const wchar_t* text, COLORREF colour)
{
    HWND status = GetDlgItem(g_mainWindow, kIdStatus);
    SetPropW(status, L"crText", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(colour)));
    SetWindowTextW(status, text);
    InvalidateRect(status, nullptr, TRUE);
}

void EnableDeleteItems(bool enabled)
{
    UINT flags = MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(g_popupMenus[kMenuProgramList], kCmdDeleteOne, flags);
    EnableMenuItem(g_popupMenus[kMenuProgramList], kCmdDeleteAll, flags);
}

// The first program whose executable is gone; the user may remove it.
// True when every executable exists.
bool CheckExecutables()
{
    for (size_t j = 0; j < g_programCount; ++j) {
        ProgramView view;
        if (!CopyProgram(j, &view) || PathFileExistsW(view.path.c_str()))
            continue;
        CStrW text(L"文件：");
        text.AppendChars(view.name.c_str(), 0);
        text.AppendChars(L"   不存在\r\n该程序路径为：", 0);
        text.AppendChars(view.path.c_str(), 0);
        text.AppendChars(L"是否删除该项", 0);
        if (MessageBoxW(g_mainWindow, text.c_str(), L"文件不存在", MB_OKCANCEL) == IDOK)
            RemoveProgram(j);
        return false;
    }
    return true;
}

void StopMonitoring(HWND box)
{
    SetChecked(box, false);
    EndMonitoring();
    g_errorLog.Add({EventKind::MonitoringStop}, L"监控已停止");
    SetStatus(L"已取消监控", kStatusRed);
    StopPickerClockAndHighlight();
    EnableWindow(GetDlgItem(g_mainWindow, kIdPicker), TRUE);
    EnableDeleteItems(true);
}

void StartMonitoring(HWND box)
{
    StartClock();
    SetStatus(L"监控中", kStatusBlue);
    EnableWindow(GetDlgItem(g_mainWindow, kIdPicker), FALSE);
    EnableDeleteItems(false);
    SetChecked(box, g_programCount > 0);
    StartMonitoringAll();
    g_errorLog.AddFormat({EventKind::MonitoringStart}, L"监控已开启, 监控数量为:%d 个程序",
                         static_cast<int>(g_programCount.load()));
    SelectPage(GetDlgItem(g_mainWindow, kIdTab), 0);
}

} // namespace

void StopPickerClockAndHighlight()
{
    KillTimer(g_mainWindow, kTimerHighlight);
    KillTimer(g_mainWindow, kTimerPicker);
    KillTimer(g_mainWindow, kTimerClock);
    HideHighlight();
}

void StopMonitoringNow()
{
    if (g_monitoring.load() == 1)
        StopMonitoring(GetDlgItem(g_mainWindow, kIdStartMonitoring));
}

bool MonitoringCommandRunning()
{
    return g_commandDepth > 0;
}

void ToggleMonitoring(HWND box, bool unattended)
{
    CCommandRunning running;
    if (g_programCount == 0) {
        g_monitoring = 0;
        SetChecked(box, false);
        MessageBoxW(g_mainWindow, L"请先选中被监控的程序", L"被监控程序为0", MB_OK);
        return;
    }
    // A removal must never shift the indices of running threads: when
    // monitoring is on, it stops before the executables are checked.
    bool wasOn = g_monitoring.load() == 1;
    if (wasOn)
        StopMonitoring(box);
    if (!unattended && !CheckExecutables()) {
        SetChecked(box, false);
        g_monitoring = 0;
        return;
    }
    if (!wasOn)
        StartMonitoring(box);
}

} // namespace tw
