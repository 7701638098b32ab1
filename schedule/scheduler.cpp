#include "schedule/scheduler.h"

#include "config/config.h"
#include "core/array.h"
#include "core/handle.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "res/resource_ids.h"
#include "schedule/time_calc.h"
#include "ui/monitor_command.h"
#include "ui/pages.h"
#include "ui/window.h"

namespace tw {

CScheduler g_scheduler;

namespace {

constexpr long long kDay = 86400;
// Ticks come late and skip seconds; a daily moment is still caught when the
// check before it ran at most this long before. A moment that passed while
// nothing was checking (monitoring off, program not running, the machine
// asleep) is not made up for: a reboot time passed before start-up must not
// restart the machine at once.
constexpr long long kCatchUpSeconds = 120;
// Both parameters of the WM_CLOSE posted before a restart.
constexpr WPARAM kRestartCloseMarker = 0x52424F54;
constexpr UINT kRestartReason = 5;

bool IsBoxChecked(HWND parent, int id)
{
    return SendDlgItemMessageW(parent, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetBox(HWND parent, int id, bool on)
{
    SendDlgItemMessageW(parent, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

Hms TimeOfDay(int seconds)
{
    int t = static_cast<int>(((seconds % kDay) + kDay) % kDay);
    return {t / 3600, (t / 60) % 60, t % 60};
}

// The daily keys keep a full moment; only its time of day counts.
Hms StoredDailyTime(const CStrW& stored)
{
    return TimeOfDay(ParseHms(RightChars(stored, 8)));
}

bool ConfigFlag(const char* key)
{
    return g_config.GetInt(0, key, 0) != 0;
}

// label, remaining seconds, "秒", the duration, the target line, the current
// time line and an empty line.
void AppendBlock(CStrW& text, const wchar_t* label, long long remaining, const wchar_t* targetLabel, long long target,
                 const wchar_t* nowLabel, long long now)
{
    text.AppendChars(label, 0);
    text.AppendInt64(remaining);
    text.AppendChars(L"秒", 0);
    AppendText(text, FormatDuration(remaining));
    text.AppendChars(targetLabel, 0);
    AppendText(text, FormatTimeText(target));
    text.AppendChars(L"\r\n", 0);
    text.AppendChars(nowLabel, 0);
    AppendText(text, FormatTimeText(now));
    text.AppendChars(L"\r\n\r\n", 0);
}

// WM_COMMAND 10100 with the monitoring flag preset: 1 stops, 0 starts.
void SendMonitoringCommand(LONG preset)
{
    g_monitoring = preset;
    HWND box = GetDlgItem(g_mainWindow, kIdStartMonitoring);
    SendMessageW(g_mainWindow, WM_COMMAND, MAKEWPARAM(kIdStartMonitoring, kNotifyUnattended),
                 reinterpret_cast<LPARAM>(box));
}

// Asks every program to close and ends its process. Only a window that still
// belongs to the program is asked, and only a process that still runs the
// program's executable is ended: ids are reused once a process is gone.
void CloseAllPrograms()
{
    for (size_t i = 0; i < g_programCount; ++i) {
        ProgramView view;
        if (!CopyProgram(i, &view))
            break;
        DWORD owner = 0;
        if (view.window && GetWindowThreadProcessId(view.window, &owner) && owner == view.processId)
            PostMessageW(view.window, WM_CLOSE, 0, 0);
        KillProgramProcess(i);
    }
}

void StartRunTimer()
{
    SetTimer(g_mainWindow, kTimerScheduledRun, 1000, CScheduler::OnRunTick);
}

// With no programs the click is taken back: a ticked box would promise a
// schedule that nothing stores.
bool RefuseWithoutPrograms(HWND dialog, int box)
{
    if (g_programCount != 0)
        return false;
    ShowMessageBox(dialog, L"未设置需要监控的程序", MB_ICONINFORMATION);
    SetBox(dialog, box, !IsBoxChecked(dialog, box));
    return true;
}

// The pending once-only moment kept in the configuration, or 0. A moment
// that passed before start-up (a power cut, a day off) is dropped with a log
// line, as the daily moments are: no check saw it come, and carried out late
// it would close or start everything at a moment nobody chose.
long long RestoredOnceMoment(const char* checkKey, const char* dailyKey, const CStrW& stored, long long now,
                             const wchar_t* what)
{
    if (!ConfigFlag(checkKey))
        return 0;
    // Ticked by the daily box, the once-only box follows it: the stored moment
    // is the daily one, and its next coming is the once-only moment.
    if (ConfigFlag(dailyKey))
        return NextOccurrence(now, SplitHms(RightChars(stored, 8)));
    long long moment = StoredMoment(stored, now);
    if (moment >= now)
        return moment;
    g_config.SetInt(0, checkKey, 0);
    g_errorLog.AddFormat(L"%s的时间 %s 在本程序启动前已过, 不再执行", what, FormatTimeText(moment).c_str());
    return 0;
}

long long SystemClock()
{
    return TimeNow();
}

} // namespace

bool RequestSystemRestart()
{
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        CHandle holder(token);
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    return ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, kRestartReason) != FALSE;
}

CScheduler::CScheduler() : clock(SystemClock) {}

long long CScheduler::Now() const
{
    return clock ? clock() : TimeNow();
}

void CScheduler::Reset()
{
    monitoredSeconds = 0;
    onceCloseTime = 0;
    onceRunTime = 0;
    m_reboot = DailyTrack();
    m_close = DailyTrack();
    m_run = DailyTrack();
    m_acting = false;
}

void CALLBACK CScheduler::OnClockTick(HWND, UINT, UINT_PTR, DWORD)
{
    try {
        g_scheduler.ClockTick(g_scheduler.Now());
    } catch (const IndexOutOfRange& e) {
        TraceFormat(L"定时器", L"程序表下标越界: %llu", static_cast<unsigned long long>(e.index));
    }
}

void CALLBACK CScheduler::OnRunTick(HWND, UINT, UINT_PTR, DWORD)
{
    try {
        g_scheduler.RunTick(g_scheduler.Now());
    } catch (const IndexOutOfRange& e) {
        TraceFormat(L"定时启动", L"程序表下标越界: %llu", static_cast<unsigned long long>(e.index));
    }
}

void CScheduler::ClockTick(long long now)
{
    if (m_acting || MonitoringCommandRunning())
        return;
    CStrW text;
    text.Reserve(g_programCount * 260);
    if (g_monitoring.load() == 1) {
        ++monitoredSeconds;
        long long s = monitoredSeconds;
        CStrW uptime;
        uptime.Format(L"已监控：%d天 %02d:%02d:%02d", static_cast<int>(s / 86400), static_cast<int>((s / 3600) % 24),
                      static_cast<int>((s / 60) % 60), static_cast<int>(s % 60));
        SetDlgItemTextW(g_mainWindow, kIdUptime, uptime.c_str());
    }
    CheckDailyReboot(now, text);
    CheckDailyClose(now, text);
    SetDlgItemTextW(GetDlgItem(g_mainWindow, kIdTab), kIdTimingText, text.c_str());
    SetWindowTextW(g_mainWindow, L"Tollwick v2.0.220");
}

void CScheduler::RunTick(long long now)
{
    // A start of monitoring that waits at one of its message boxes must not
    // be followed by another one on every tick.
    if (m_acting || MonitoringCommandRunning())
        return;
    CStrW text;
    CheckDailyRun(now, text);
}

bool CScheduler::DueToday(DailyTrack& track, long long moment, long long now)
{
    long long previous = track.lastCheck;
    track.lastCheck = now;
    long long today = Utc8Day(now);
    if (now < moment || track.actedDay == today)
        return false;
    bool caught = now == moment || (previous != 0 && previous < moment && now - previous <= kCatchUpSeconds);
    if (!caught)
        return false;
    track.actedDay = today;
    return true;
}

void CScheduler::CheckDailyReboot(long long now, CStrW& text)
{
    if (!ConfigFlag("autoreboot"))
        return;
    long long target = TodayAt(now, TimeOfDay(ParseHms(g_config.GetRebootTime())));
    bool due = DueToday(m_reboot, target, now);
    long long d = target - now;
    if (d < 0) {
        target += kDay;
        d += kDay;
    }
    AppendBlock(text, L"定时重启电脑,剩余:", d, L"重启时间:", target, L"现在时间:", now);
    if (!due)
        return;
    PostMessageW(g_mainWindow, WM_CLOSE, kRestartCloseMarker, static_cast<LPARAM>(kRestartCloseMarker));
    if (!(restart && restart()))
        TraceFormat(L"定时重启", L"重启请求被拒绝, 错误码: %lu", GetLastError());
}

void CScheduler::CloseAction(bool daily, long long nextMoment)
{
    m_acting = true;
    if (daily) {
        g_config.SetDailyCloseTime(FormatTimeText(nextMoment));
    } else {
        onceCloseTime = 0;
        g_config.SetTimingCloseCheck(0);
        StopPickerClockAndHighlight();
    }
    SetBox(g_mainWindow, kIdWatchRunning, false);
    if (g_monitoring.load() == 1)
        SendMonitoringCommand(1);
    CloseAllPrograms();
    m_acting = false;
}

void CScheduler::RunAction(bool daily, long long nextMoment)
{
    m_acting = true;
    if (daily) {
        g_config.SetDailyRunTime(FormatTimeText(nextMoment));
    } else {
        KillTimer(g_mainWindow, kTimerScheduledRun);
        g_config.SetTimingRunCheck(0);
        onceRunTime = 0;
    }
    SetBox(g_mainWindow, kIdWatchRunning, true);
    if (g_monitoring.load() == 0)
        SendMonitoringCommand(0);
    m_acting = false;
}

void CScheduler::CheckOnceClose(long long now, CStrW& text)
{
    if (onceCloseTime == 0 && !ConfigFlag("timingclosecheck"))
        return;
    long long r = onceCloseTime - now;
    if (r <= 0)
        CloseAction(false, 0);
    AppendBlock(text, L"定时关闭程序,剩余:", r, L"目标时间：", onceCloseTime ? onceCloseTime : now, L"现在时间：", now);
}

void CScheduler::CheckDailyClose(long long now, CStrW& text)
{
    if (!ConfigFlag("timingclosecheck_everyday")) {
        CheckOnceClose(now, text);
        return;
    }
    long long target = TodayAt(now, StoredDailyTime(g_config.GetDailyCloseTime()));
    // The firing tick shows the moment it reached; from the next tick on, for
    // the rest of the day, the countdown runs to the next day's close.
    if (DueToday(m_close, target, now))
        CloseAction(true, target + kDay);
    else if (target <= now)
        target += kDay;
    AppendBlock(text, L"每天定时关闭程序,剩余:", target - now, L"目标时间：", target, L"现在时间：", now);
}

void CScheduler::CheckOnceRun(long long now, CStrW& text)
{
    if (onceRunTime == 0 && !ConfigFlag("timingruncheck"))
        return;
    long long target = onceRunTime;
    long long r = target - now;
    if (r <= 0)
        RunAction(false, 0);
    AppendBlock(text, L"定时开启程序,剩余:", r, L"目标时间：", target ? target : now, L"现在时间：", now);
}

void CScheduler::CheckDailyRun(long long now, CStrW& text)
{
    if (!ConfigFlag("timingruncheck_everyday")) {
        CheckOnceRun(now, text);
        return;
    }
    long long target = TodayAt(now, StoredDailyTime(g_config.GetDailyRunTime()));
    if (DueToday(m_run, target, now))
        RunAction(true, target + kDay);
    else if (target <= now)
        target += kDay;
    AppendBlock(text, L"每天定时开启程序,剩余:", target - now, L"目标时间：", target, L"现在时间：", now);
}

void CScheduler::OnCloseTimeEdited(HWND dialog)
{
    onceCloseTime = NextOccurrence(Now(), SplitHms(FieldText(dialog, IDC_CLOSE_TIME)));
    g_config.SetDailyCloseTime(FormatTimeText(onceCloseTime));
}

void CScheduler::OnRunTimeEdited(HWND dialog)
{
    onceRunTime = NextOccurrence(Now(), SplitHms(FieldText(dialog, IDC_RUN_TIME)));
    g_config.SetDailyRunTime(FormatTimeText(onceRunTime));
}

void CScheduler::Refuse(HWND dialog, int box, long long moment, long long now)
{
    CStrW text(L"设置的时间不能小于现在的时间\r\n设置的时间为：");
    AppendText(text, FormatTimeText(moment));
    text.AppendChars(L"\r\n现在的时间为：", 0);
    AppendText(text, FormatTimeText(now));
    ShowMessageBox(dialog, text.c_str(), MB_ICONERROR);
    SetBox(dialog, box, false);
    if (box == IDC_ONCE_RUN) {
        onceRunTime = 0;
        g_config.SetTimingRunCheck(0);
    } else {
        onceCloseTime = 0;
        g_config.SetTimingCloseCheck(0);
    }
}

void CScheduler::OnOnceRunBox(HWND dialog)
{
    if (RefuseWithoutPrograms(dialog, IDC_ONCE_RUN))
        return;
    bool on = IsBoxChecked(dialog, IDC_ONCE_RUN);
    g_config.SetTimingRunCheck(on ? 1 : 0);
    if (!on) {
        KillTimer(g_mainWindow, kTimerScheduledRun);
        onceRunTime = 0;
        SetBox(dialog, IDC_ONCE_RUN, false);
        return;
    }
    long long now = Now();
    long long moment = TodayAt(now, SplitHms(FieldText(dialog, IDC_RUN_TIME)));
    onceRunTime = moment;
    if (IsBoxChecked(dialog, IDC_DAILY_RUN)) {
        OnDailyRunBox(dialog);
    } else if (moment - now > 0) {
        // The key holds the armed moment, date included, for the next start.
        g_config.SetDailyRunTime(FormatTimeText(moment));
        StartRunTimer();
    } else {
        Refuse(dialog, IDC_ONCE_RUN, moment, now);
    }
}

void CScheduler::OnOnceCloseBox(HWND dialog)
{
    if (RefuseWithoutPrograms(dialog, IDC_ONCE_CLOSE))
        return;
    bool on = IsBoxChecked(dialog, IDC_ONCE_CLOSE);
    g_config.SetTimingCloseCheck(on ? 1 : 0);
    if (!on) {
        onceCloseTime = 0;
        SetBox(dialog, IDC_ONCE_CLOSE, false);
        return;
    }
    long long now = Now();
    long long moment = TodayAt(now, SplitHms(FieldText(dialog, IDC_CLOSE_TIME)));
    onceCloseTime = moment;
    if (IsBoxChecked(dialog, IDC_DAILY_CLOSE))
        OnDailyCloseBox(dialog);
    else if (moment - now <= 0)
        Refuse(dialog, IDC_ONCE_CLOSE, moment, now);
    else
        g_config.SetDailyCloseTime(FormatTimeText(moment));
}

void CScheduler::OnDailyRunBox(HWND dialog)
{
    bool on = IsBoxChecked(dialog, IDC_DAILY_RUN);
    if (on) {
        SetBox(dialog, IDC_ONCE_RUN, true);
        g_config.SetTimingRunCheck(1);
        OnRunTimeEdited(dialog);
        StartRunTimer();
    } else {
        // A once-only run that stays armed keeps its timer; the ticked box
        // would otherwise promise a start that never comes.
        if (onceRunTime == 0 || !IsBoxChecked(dialog, IDC_ONCE_RUN))
            KillTimer(g_mainWindow, kTimerScheduledRun);
        g_config.SetDailyRunTime(CStrW());
    }
    g_config.SetInt(0, "timingruncheck_everyday", on ? 1 : 0);
}

void CScheduler::OnDailyCloseBox(HWND dialog)
{
    bool on = IsBoxChecked(dialog, IDC_DAILY_CLOSE);
    if (on) {
        SetBox(dialog, IDC_ONCE_CLOSE, true);
        g_config.SetTimingCloseCheck(1);
        OnCloseTimeEdited(dialog);
    } else {
        g_config.SetDailyCloseTime(CStrW());
    }
    g_config.SetInt(0, "timingclosecheck_everyday", on ? 1 : 0);
}

void CScheduler::RestoreOnceTargets()
{
    long long now = Now();
    onceCloseTime = RestoredOnceMoment("timingclosecheck", "timingclosecheck_everyday", g_config.GetDailyCloseTime(),
                                       now, L"定时关闭程序");
    onceRunTime = RestoredOnceMoment("timingruncheck", "timingruncheck_everyday", g_config.GetDailyRunTime(), now,
                                     L"定时开启程序");
}

void CScheduler::StartRunTimerIfArmed()
{
    if (ConfigFlag("timingruncheck") || ConfigFlag("timingruncheck_everyday"))
        StartRunTimer();
}

} // namespace tw
