#include "app/main_window.h"

#include "app/guardian.h"
#include "app/one_per_folder.h"
#include "app/run_state.h"
#include "app/unregister.h"
#include "config/config.h"
#include "core/app_messages.h"
#include "core/exe_path.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/fleet.h"
#include "monitor/log_file.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "res/resource_ids.h"
#include "schedule/scheduler.h"
#include "ui/autostart.h"
#include "ui/commands.h"
#include "core/guard.h"
#include "ui/monitor_command.h"
#include "ui/overlay.h"
#include "ui/pages.h"
#include "ui/schedule_view.h"
#include "ui/window.h"

#include "version.h"

#include <commctrl.h>

namespace tw {

HINSTANCE g_instance = nullptr;
CStrW g_exePath;
CStrW g_exeDirectory;

const wchar_t kMainWindowClass[] = L"Tollwick 程序守护 主窗口";

namespace {

// A person's start finds the running Tollwick's window within this time,
// even one still building its window.
constexpr DWORD kFindRunningWindowMs = 10000;

UINT g_taskbarCreatedMsg = 0;
HBRUSH g_backgroundBrush = nullptr;
bool g_closeButtonDown = false;
bool g_closeCommandSeen = false;
bool g_monitoringBeforeEndSession = false;
CTray g_tray;

// How this process was started, and whether the run before it was
// monitoring when it ended: a Tollwick the guardian brought back resumes as
// it was.
StartOptions g_startOptions;
bool g_wasMonitoring = false;

HWND Panel()
{
    return SettingsPanel();
}

bool CursorOnCloseButton(HWND window)
{
    TITLEBARINFOEX info = {};
    info.cbSize = sizeof(info);
    SendMessageW(window, WM_GETTITLEBARINFOEX, 0, reinterpret_cast<LPARAM>(&info));
    POINT cursor;
    GetCursorPos(&cursor);
    if (!IsRectEmpty(&info.rgrect[5]))
        return PtInRect(&info.rgrect[5], cursor) != FALSE;
    // Wine leaves WM_GETTITLEBARINFOEX unanswered; without the fallback the
    // close button could never close the program there.
    return SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(cursor.x, cursor.y)) == HTCLOSE;
}

// The settings of the panel go into the configuration document.
void WriteSettingsPanel()
{
    HWND panel = Panel();
    CStrW time;
    time.Format(L"%02d:%02d:%02d", GetDlgItemInt(panel, kIdRebootHours, nullptr, FALSE),
                GetDlgItemInt(panel, kIdRebootMinutes, nullptr, FALSE),
                GetDlgItemInt(panel, kIdRebootSeconds, nullptr, FALSE));
    g_config.SetText(0, "reboottime", ToNarrow(time));
    g_config.SetBootStart(IsBoxChecked(panel, kIdBootStart) ? 1 : 0);
    g_config.SetCloseApp(IsBoxChecked(panel, kIdCloseApp) ? 1 : 0);
    g_config.SetInt(0, "autoreboot", IsBoxChecked(panel, kIdAutoReboot) ? 1 : 0);
    g_config.SetAutoStartMonitor(IsBoxChecked(panel, kIdAutoStartMonitor) ? 1 : 0);
}

void CloseMonitoredPrograms()
{
    for (size_t i = 0; i < g_programCount; ++i) {
        ProgramView view;
        if (CopyProgram(i, &view) && view.window)
            PostMessageW(view.window, WM_CLOSE, 0, 0);
    }
}

// The outputs for a fleet, as the root keys set them; read once at start-up.
void StartFleetOutputs()
{
    FleetSettings settings;
    settings.eventLog = g_config.GetInt(0, "eventlog", 1) != 0;
    settings.metricsFile = ToWide(g_config.GetText(0, "metricsfile", CStrA()));
    settings.webhookUrl = ToWide(g_config.GetText(0, "webhookurl", CStrA()));
    settings.version.AssignChars(TW_VERSION_WIDE, 0);
    StartFleet(settings);
}

LRESULT OnClose(HWND window, WPARAM forced)
{
    bool monitoring = g_monitoring.load() == 1;
    if (IsBoxChecked(Panel(), kIdHideTray) && !forced && monitoring) {
        ShowWindow(window, SW_HIDE);
        g_closeButtonDown = g_closeCommandSeen = false;
        return 0;
    }
    // Only the caption's close button and the quit command close the program.
    if (!(g_closeButtonDown && g_closeCommandSeen))
        return 0;
    g_closeButtonDown = g_closeCommandSeen = false;
    if (monitoring && !forced &&
        MessageBoxW(window, L"正在监控中,是否关闭程序?", L"是否关闭", MB_ICONQUESTION | MB_YESNO) == IDNO)
        return 0;
    StopPickerClockAndHighlight();
    DestroyHighlight();
    WriteSettingsPanel();
    if (g_config.GetInt(0, "closeapp", 0) != 0) {
        // Monitoring ends first, or its threads would start the closed
        // programs again and leave them running unwatched.
        StopMonitoringNow();
        CloseMonitoredPrograms();
    }
    g_errorLog.Add({EventKind::TollwickExit}, L"Tollwick 已退出, 原因:用户退出");
    // The backstop start must not bring back a Tollwick its user quit, nor
    // the guardian.
    WriteRunState(LogFolderPath(), RunEnd::Quit);
    DismissGuardian();
    return DefWindowProcW(window, WM_CLOSE, forced, 0);
}

void SetRebootEdits(HWND panel)
{
    CStrW time = g_config.GetRebootTime();
    SetDlgItemTextW(panel, kIdRebootHours, LeftOfFirstColon(time).c_str());
    SetDlgItemTextW(panel, kIdRebootMinutes, BetweenFirstColons(time).c_str());
    SetDlgItemTextW(panel, kIdRebootSeconds, AfterLastColon(time).c_str());
}

// Monitoring starts by itself with autostartmonitor; after the guardian
// brought Tollwick back, as it was when Tollwick was lost.
bool StartsMonitoring()
{
    if (g_startOptions.kind == StartKind::ByGuardian)
        return g_wasMonitoring;
    return g_config.GetInt(0, "autostartmonitor", 0) != 0;
}

// The guardian is on unless the user turned it off.
bool SelfGuardOn()
{
    return g_config.GetInt(0, "selfguard", 1) != 0;
}

// The start-up sequence, inside WM_CREATE.
void OnMainCreate(HWND window)
{
    HWND tab = GetDlgItem(window, kIdTab);
    HWND panel = GetDlgItem(tab, kIdSettingsPanel);
    AutostartKey autostart;
    if (autostart.Open() && IsOwnAutostartValue(autostart)) {
        SetBoxChecked(panel, kIdBootStart, true);
        UpgradeAutostartValue(autostart);
    }
    g_scheduler.RestoreOnceTargets();
    LoadMonitorList();
    RefreshInfoPanel();
    if (g_config.GetInt(0, "bootstart", 0) != 0) {
        SetBoxChecked(panel, kIdBootStart, true);
        HWND box = GetDlgItem(panel, kIdBootStart);
        SendMessageW(panel, WM_COMMAND, MAKEWPARAM(kIdBootStart, BN_CLICKED), reinterpret_cast<LPARAM>(box));
    }
    SetBoxChecked(panel, kIdCloseApp, g_config.GetInt(0, "closeapp", 0) != 0);
    SetBoxChecked(panel, kIdHideTray, g_config.GetInt(0, "hidetray", 0) != 0);
    SetBoxChecked(panel, kIdAutoReboot, g_config.GetInt(0, "autoreboot", 0) != 0);
    SetBoxChecked(panel, kIdAutoStartMonitor, g_config.GetInt(0, "autostartmonitor", 0) != 0);
    SetBoxChecked(panel, kIdSelfGuard, SelfGuardOn());
    SetRebootEdits(panel);
    // A watchdog restarts unless its user said otherwise; the timed close and
    // run change the box only for this run.
    SetBoxChecked(window, kIdWatchRunning, g_config.GetInt(0, "watchrunning", 1) != 0);
    if (StartsMonitoring()) {
        SetBoxChecked(window, kIdStartMonitoring, true);
        HWND box = GetDlgItem(window, kIdStartMonitoring);
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(kIdStartMonitoring, kNotifyUnattended),
                     reinterpret_cast<LPARAM>(box));
    }
    // A configured run also happens after a restart of the program.
    StartRunCheckIfArmed();
    CreateHighlightOverlay(window);
    SelectPage(tab, 1);
    Trace(L"_窗口1_创建完毕", L"窗口显示完毕");
    autostart.Close();
}

// WM_CREATE: the controls, then the start-up sequence.
LRESULT OnCreate(HWND window)
{
    g_mainWindow = window;
    g_taskbarCreatedMsg = RegisterWindowMessageW(L"TaskbarCreated");
    g_backgroundBrush = CreateSolidBrush(0xF0F0F0);
    BuildMainControls(window);
    OnMainCreate(window);
    return 0;
}

LRESULT OnDestroy()
{
    g_tray.Remove();
    if (g_backgroundBrush) {
        DeleteObject(g_backgroundBrush);
        g_backgroundBrush = nullptr;
    }
    PostQuitMessage(0);
    return 0;
}

LRESULT OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, g_backgroundBrush);
    EndPaint(window, &paint);
    return 0;
}

// A watchdog that restarts the programs the system is closing would hold the
// shutdown up: restarting stops at once.
LRESULT OnQueryEndSession()
{
    g_monitoringBeforeEndSession = g_monitoring.load() == 1;
    StopMonitoringNow();
    return TRUE;
}

LRESULT OnEndSession(HWND window, bool ending)
{
    if (ending) {
        // The message loop's save never runs when the session ends, and the
        // process may be ended as soon as this returns.
        WriteSettingsPanel();
        g_config.Save();
        g_errorLog.Add({EventKind::TollwickExit}, RestartRequested() ? L"Tollwick 已退出, 原因:每日定时重启电脑"
                                                                     : L"Tollwick 已退出, 原因:Windows 会话结束");
        WriteRunState(LogFolderPath(), RunEnd::Session);
        DismissGuardian();
        StopFleet();
    } else if (g_monitoringBeforeEndSession) {
        g_monitoring = 0;
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(kIdStartMonitoring, kNotifyUnattended),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, kIdStartMonitoring)));
    }
    g_monitoringBeforeEndSession = false;
    return 0;
}

// The tab control's page switch comes as a notification of the tab.
LRESULT OnNotify(HWND window, const NMHDR* header, WPARAM wParam, LPARAM lParam)
{
    if (header && header->idFrom == static_cast<UINT_PTR>(kIdTab) &&
        (header->code == static_cast<UINT>(TCN_SELCHANGING) || header->code == static_cast<UINT>(TCN_SELCHANGE)) &&
        OnPageCommand(header->hwndFrom, header->code, kIdTab) == 1)
        return 0;
    return DefWindowProcW(window, WM_NOTIFY, wParam, lParam);
}

LRESULT OnNcLButtonDown(HWND window, WPARAM hit, LPARAM lParam)
{
    if (hit == HTCLOSE && CursorOnCloseButton(window))
        g_closeButtonDown = true;
    return DefWindowProcW(window, WM_NCLBUTTONDOWN, hit, lParam);
}

// Alt+F4 and the system menu close nothing unless the cursor is over the
// close button.
LRESULT OnSysCommand(HWND window, WPARAM command, LPARAM lParam)
{
    if (command == SC_CLOSE) {
        if (!CursorOnCloseButton(window))
            return 0;
        g_closeCommandSeen = true;
    }
    return DefWindowProcW(window, WM_SYSCOMMAND, command, lParam);
}

// The tray menu's quit closes as the close button does, without asking.
LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (LOWORD(wParam) == kCmdQuit && HIWORD(wParam) == 0 && !lParam) {
        g_closeButtonDown = g_closeCommandSeen = true;
        SendMessageW(window, WM_CLOSE, 1, 0);
        return 0;
    }
    bool handled = RouteCommand(wParam, lParam);
    // Every start and stop of monitoring comes this way: the run state keeps
    // it for a Tollwick the guardian may have to bring back.
    if (LOWORD(wParam) == kIdStartMonitoring)
        WriteRunState(LogFolderPath(), RunEnd::Running, g_monitoring.load() == 1);
    return handled ? 0 : DefWindowProcW(window, WM_COMMAND, wParam, lParam);
}

// The status and hint labels take their text colour from their "crText".
LRESULT OnCtlColorStatic(HWND window, HDC dc, HWND control)
{
    int id = GetDlgCtrlID(control);
    if (id != kIdStatus && id != kIdHint)
        return DefWindowProcW(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(control));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, static_cast<COLORREF>(reinterpret_cast<INT_PTR>(GetPropW(control, L"crText"))));
    return reinterpret_cast<LRESULT>(g_backgroundBrush);
}

LRESULT OnProgramsChanged()
{
    RepaintProgramList();
    RefreshInfoPanel();
    // A window placement the engine now keeps reaches config.xml at the
    // next save, so it holds after a restart of Tollwick too.
    StoreWindowPlaces();
    return 0;
}

// The box of the guardian was clicked.
LRESULT OnSelfGuard(bool on)
{
    if (on)
        KeepGuardian(nullptr);
    else
        DismissGuardian();
    return 0;
}

LRESULT OnTrayIcon(HWND window, LPARAM event)
{
    if (event == WM_LBUTTONDOWN)
        ShowWindow(window, IsWindowVisible(window) ? SW_HIDE : SW_SHOW);
    else if (event == WM_RBUTTONUP)
        ShowPopupMenu(kMenuTray);
    return 0;
}

// Shown again from the tray or restored: the clock draws what it skipped.
LRESULT OnShowWindow(HWND window, bool shown, LPARAM lParam)
{
    if (shown)
        ShowClockTexts();
    return DefWindowProcW(window, WM_SHOWWINDOW, shown, lParam);
}

LRESULT OnSize(HWND window, WPARAM kind, LPARAM lParam)
{
    if (kind == SIZE_RESTORED || kind == SIZE_MAXIMIZED)
        ShowClockTexts();
    return DefWindowProcW(window, WM_SIZE, kind, lParam);
}

LRESULT OnTaskbarCreated()
{
    g_tray.Readd();
    return 0;
}

LRESULT DispatchMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT engine = 0;
    if (HandleEngineMessage(window, message, wParam, lParam, &engine))
        return engine;
    if (message == g_taskbarCreatedMsg && g_taskbarCreatedMsg)
        return OnTaskbarCreated();
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        return OnDestroy();
    case WM_PAINT:
        return OnPaint(window);
    case WM_SHOWWINDOW:
        return OnShowWindow(window, wParam != 0, lParam);
    case WM_SIZE:
        return OnSize(window, wParam, lParam);
    case WM_CLOSE:
        return OnClose(window, wParam);
    case WM_QUERYENDSESSION:
        return OnQueryEndSession();
    case WM_ENDSESSION:
        return OnEndSession(window, wParam != 0);
    case WM_NOTIFY:
        return OnNotify(window, reinterpret_cast<NMHDR*>(lParam), wParam, lParam);
    case WM_NCLBUTTONDOWN:
        return OnNcLButtonDown(window, wParam, lParam);
    case WM_SYSCOMMAND:
        return OnSysCommand(window, wParam, lParam);
    case WM_COMMAND:
        return OnCommand(window, wParam, lParam);
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(window, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_TW_PROGRAMS_CHANGED:
        return OnProgramsChanged();
    case WM_TW_SELF_GUARD:
        return OnSelfGuard(wParam != 0);
    case WM_TW_PROGRAMS_CLOSED:
        OnProgramsClosed();
        return 0;
    case kTrayCallbackMessage:
        return OnTrayIcon(window, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The switchboard: each message goes to its handler, and no exception
// leaves the procedure.
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Guarded(L"主窗口", static_cast<LRESULT>(0),
                   [&] { return DispatchMainMessage(window, message, wParam, lParam); });
}

// After the start line: why this start follows no clean end.
void LogHowTheLastRunEnded(const StartOptions& options, RunEnd lastEnd)
{
    if (options.kind == StartKind::ByGuardian) {
        if (options.afterHang)
            g_errorLog.Add({EventKind::GuardianRestart}, L"Tollwick 主窗口 60 秒无响应, 已由守护进程结束并重新启动");
        else
            g_errorLog.AddFormat({EventKind::GuardianRestart}, L"Tollwick 意外退出, 已由守护进程在 %lu 秒后重新启动",
                                 static_cast<unsigned long>(options.restartSeconds));
        return;
    }
    if (lastEnd != RunEnd::Running)
        return;
    // The last entry of the earlier runs is the last sign of life of the
    // run that ended unseen.
    CStrW time(L"未知");
    size_t earlier = g_errorLog.EarlierCount();
    CStrW text;
    if (earlier > 0 && !g_errorLog.ReadEntry(earlier - 1, &time, &text))
        time = L"未知";
    g_errorLog.AddFormat({EventKind::UncleanEnd}, L"上次运行未正常结束, 最后一条记录时间为: %s", time.c_str());
}

} // namespace

bool CreateMainWindow(int showCommand)
{
    HICON icon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_TOLLWICK));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = g_instance;
    wc.hIcon = icon;
    wc.hIconSm = icon;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kMainWindowClass;
    RegisterClassExW(&wc);
    const wchar_t* title = L"Tollwick v" TW_VERSION_WIDE;
    HWND window = CreateWindowExW(WS_EX_APPWINDOW | WS_EX_WINDOWEDGE, kMainWindowClass, title, 0x16CA0000,
                                  CW_USEDEFAULT, 0, 377, 341, nullptr, nullptr, g_instance, nullptr);
    if (!window)
        return false;
    g_tray.Add(window, icon, title);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

int RunTollwick(HINSTANCE instance, int showCommand, const StartOptions& options)
{
    g_instance = instance;
    g_exePath = ExecutablePath();
    g_exeDirectory = DirectoryOf(g_exePath);
    if (options.kind == StartKind::Unregister)
        return RunUnregister(options);
    if (options.kind == StartKind::GuardRole)
        return RunGuardian(options);
    CStrW logsFolder(g_exeDirectory.c_str());
    logsFolder.AppendChars(L"logs\\", 0);
    // The backstop comes back after any end; after a person's quit it must
    // leave no trace at all.
    if (options.kind == StartKind::Backstop && ReadRunState(logsFolder) == RunEnd::Quit)
        return 0;
    CHandle folderMutex;
    if (!TakeFolderMutex(g_exePath, &folderMutex)) {
        // A person who starts Tollwick again wants to see it; the other
        // starts only make sure that it runs.
        if (options.kind == StartKind::Person)
            ShowRunningTollwick(g_exeDirectory, kFindRunningWindowMs);
        return 0;
    }
    if (!g_config.Open())
        return 0;
    OpenLogFolder(DirectoryOf(g_config.WidePath()));
    g_startOptions = options;
    RunEnd lastEnd = ReadRunState(LogFolderPath(), &g_wasMonitoring);
    WriteRunState(LogFolderPath(), RunEnd::Running);
    StartFleetOutputs();
    g_errorLog.AddFormat({EventKind::TollwickStart}, L"Tollwick 已启动, 版本为:%s", TW_VERSION_WIDE);
    LogHowTheLastRunEnded(options, lastEnd);
    g_monitorList.Create();
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    if (!CreateMainWindow(showCommand))
        return 0;
    HANDLE adopted = options.kind == StartKind::ByGuardian ? options.otherProcess : nullptr;
    if (SelfGuardOn())
        KeepGuardian(adopted);
    else if (adopted)
        CloseHandle(adopted);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    g_config.Save();
    StopFleet();
    return static_cast<int>(msg.wParam);
}

} // namespace tw
