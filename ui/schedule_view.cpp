#include "ui/schedule_view.h"

#include "config/config.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/program_close.h"
#include "res/resource_ids.h"
#include "core/guard.h"
#include "ui/ids.h"
#include "ui/monitor_command.h"
#include "ui/window.h"

#include "version.h"

namespace tw {

namespace {

// Set while the system is asked for the daily restart and once it accepted
// it: the end of the session that follows is its doing.
bool g_restartRequested = false;

// Set while a tick's action is under way: ticks that arrive while it waits
// (the message loops of stopping, the message boxes of starting) skip.
bool g_applying = false;

// Timed closes whose worker has not yet reported (WM_TW_PROGRAMS_CLOSED), and
// a timed run that fell due meanwhile. The run waits for them: started while
// a close still waits, monitoring would take up the very programs the close
// is about to end, or start them again beside instances still saving.
int g_closesUnderWay = 0;
struct HeldRun {
    bool held = false;
    bool onceOnly = false;
};
HeldRun g_heldRun;

// The clock's texts as last decided, and whether the window shows them. While
// the main window is hidden or minimised the clock counts and checks but
// draws nothing; ShowClockTexts draws the latest once it is shown again. A
// text that did not change is not written again.
struct ClockTexts {
    CStrW uptime;
    CStrW countdown;
    bool uptimeShown = true;
    bool countdownShown = true;
    bool titleShown = false;
};
ClockTexts g_clock;

bool MainWindowShowing()
{
    return IsWindowVisible(g_mainWindow) && !IsIconic(g_mainWindow);
}

void Keep(CStrW& kept, bool& shown, const CStrW& text)
{
    if (!TextDiffers(kept, text.c_str()))
        return;
    kept = text;
    shown = false;
}

// A start of monitoring that waits at one of its message boxes must not be
// followed by another one on every tick.
bool TicksWait()
{
    return g_applying || MonitoringCommandRunning();
}

void CarryOutHeldRun();

void CALLBACK OnClockTimer(HWND, UINT, UINT_PTR, DWORD)
{
    Guarded(L"定时器", [] {
        if (TicksWait())
            return;
        CarryOutHeldRun();
        ApplyTick(g_scheduler.ClockTick(g_scheduler.Now(), g_monitoring.load() == 1), true);
    });
}

void CALLBACK OnRunTimer(HWND, UINT, UINT_PTR, DWORD)
{
    Guarded(L"定时启动", [] {
        if (TicksWait())
            return;
        CarryOutHeldRun();
        ApplyTick(g_scheduler.RunTick(g_scheduler.Now()), false);
    });
}

void StartRunCheck()
{
    SetTimer(g_mainWindow, kTimerScheduledRun, 1000, OnRunTimer);
}

void RestartComputer()
{
    g_errorLog.Add({EventKind::DailyReboot}, L"已到每日重启时间, 正在重启电脑");
    PostMessageW(g_mainWindow, WM_CLOSE, kRestartCloseMarker, static_cast<LPARAM>(kRestartCloseMarker));
    // Set first: the end of the session may come while the request runs.
    g_restartRequested = true;
    if (g_scheduler.restart && g_scheduler.restart())
        return;
    DWORD error = GetLastError();
    g_restartRequested = false;
    TraceFormat(L"定时重启", L"重启请求被拒绝, 错误码: %lu", error);
    g_errorLog.AddFormat({EventKind::RebootRefused}, L"重启电脑的请求被拒绝, 错误代码为:%lu", error);
}

void CloseEverything(bool onceOnly)
{
    g_errorLog.Add({EventKind::ScheduledClose}, L"已到定时关闭程序的时间, 停止监控并关闭所有被监控的程序");
    if (onceOnly)
        StopPickerClockAndHighlight();
    SetBoxChecked(g_mainWindow, kIdWatchRunning, false);
    if (g_monitoring.load() == 1)
        SendMonitoringCommand(1);
    // The programs get the hang grace to close (and save their work) on a
    // worker; this thread goes on at once.
    ++g_closesUnderWay;
    CloseProgramsInTime(g_mainWindow, GraceFromSetting(g_config.GetInt(0, "unresponsetime", 5)));
}

void RunEverything(bool onceOnly)
{
    g_errorLog.Add({EventKind::ScheduledStart}, L"已到定时开启程序的时间, 开启监控");
    if (onceOnly)
        KillTimer(g_mainWindow, kTimerScheduledRun);
    SetBoxChecked(g_mainWindow, kIdWatchRunning, true);
    if (g_monitoring.load() == 0)
        SendMonitoringCommand(0);
}

void RunOrHold(bool onceOnly)
{
    if (g_closesUnderWay == 0) {
        RunEverything(onceOnly);
        return;
    }
    Trace(L"定时启动", L"定时关闭尚未完成, 等待其完成后再开启");
    g_heldRun.held = true;
    g_heldRun.onceOnly = g_heldRun.onceOnly || onceOnly;
}

// The held run, once no close is under way and no tick's action is: one
// that finished inside such an action's message loop leaves the run to the
// next tick.
void CarryOutHeldRun()
{
    if (!g_heldRun.held || g_closesUnderWay > 0 || TicksWait())
        return;
    bool onceOnly = g_heldRun.onceOnly;
    g_heldRun = HeldRun();
    g_applying = true;
    RunEverything(onceOnly);
    g_applying = false;
}

} // namespace

void OnProgramsClosed()
{
    if (g_closesUnderWay > 0)
        --g_closesUnderWay;
    CarryOutHeldRun();
}

bool RestartRequested()
{
    return g_restartRequested;
}

void StartClock()
{
    SetTimer(g_mainWindow, kTimerClock, 1000, OnClockTimer);
}

void StartRunCheckIfArmed()
{
    if (g_scheduler.RunCheckArmed())
        StartRunCheck();
}

void SendMonitoringCommand(LONG preset)
{
    g_monitoring = preset;
    HWND box = GetDlgItem(g_mainWindow, kIdStartMonitoring);
    SendMessageW(g_mainWindow, WM_COMMAND, MAKEWPARAM(kIdStartMonitoring, kNotifyUnattended),
                 reinterpret_cast<LPARAM>(box));
}

void ApplyTick(const TickOutcome& outcome, bool clock)
{
    g_applying = true;
    if (!outcome.uptime.IsEmpty())
        Keep(g_clock.uptime, g_clock.uptimeShown, outcome.uptime);
    if (outcome.restartComputer)
        RestartComputer();
    if (outcome.action == ScheduledAction::Close)
        CloseEverything(outcome.onceOnly);
    else if (outcome.action == ScheduledAction::Run)
        RunOrHold(outcome.onceOnly);
    if (clock)
        Keep(g_clock.countdown, g_clock.countdownShown, outcome.countdown);
    if (MainWindowShowing())
        ShowClockTexts();
    g_applying = false;
}

void ShowClockTexts()
{
    if (!g_clock.uptimeShown) {
        SetDlgItemTextW(g_mainWindow, kIdUptime, g_clock.uptime.c_str());
        g_clock.uptimeShown = true;
    }
    if (!g_clock.countdownShown) {
        SetDlgItemTextW(GetDlgItem(g_mainWindow, kIdTab), kIdTimingText, g_clock.countdown.c_str());
        g_clock.countdownShown = true;
    }
    if (!g_clock.titleShown) {
        SetWindowTextW(g_mainWindow, L"Tollwick v" TW_VERSION_WIDE);
        g_clock.titleShown = true;
    }
}

ScheduleForm ScheduleFormOf(HWND dialog)
{
    ScheduleForm form;
    form.onceRun = IsBoxChecked(dialog, IDC_ONCE_RUN);
    form.dailyRun = IsBoxChecked(dialog, IDC_DAILY_RUN);
    form.onceClose = IsBoxChecked(dialog, IDC_ONCE_CLOSE);
    form.dailyClose = IsBoxChecked(dialog, IDC_DAILY_CLOSE);
    form.runTime = FieldText(dialog, IDC_RUN_TIME);
    form.closeTime = FieldText(dialog, IDC_CLOSE_TIME);
    return form;
}

void ApplyFormOutcome(HWND dialog, const FormOutcome& outcome)
{
    if (!outcome.message.IsEmpty())
        ShowMessageBox(dialog, outcome.message.c_str(), outcome.icon);
    SetBoxChecked(dialog, IDC_ONCE_RUN, outcome.form.onceRun);
    SetBoxChecked(dialog, IDC_DAILY_RUN, outcome.form.dailyRun);
    SetBoxChecked(dialog, IDC_ONCE_CLOSE, outcome.form.onceClose);
    SetBoxChecked(dialog, IDC_DAILY_CLOSE, outcome.form.dailyClose);
    if (outcome.runCheck == RunCheck::Start)
        StartRunCheck();
    else if (outcome.runCheck == RunCheck::Stop)
        KillTimer(g_mainWindow, kTimerScheduledRun);
}

} // namespace tw
