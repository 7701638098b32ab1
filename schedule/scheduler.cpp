#include "schedule/scheduler.h"

#include "config/config.h"
#include "core/handle.h"
#include "core/text_ops.h"
#include "monitor/error_log.h"
#include "monitor/program_table.h"
#include "schedule/time_calc.h"

namespace tw {

CScheduler g_scheduler;

// The keys, fields and texts of the close or of the run.
struct CScheduler::Kind {
    const char* onceKey;
    const char* dailyKey;
    long long CScheduler::*once;
    bool ScheduleForm::*onceBox;
    bool ScheduleForm::*dailyBox;
    CStrW ScheduleForm::*field;
    const wchar_t* onceLabel;
    const wchar_t* dailyLabel;
    const wchar_t* name; // for the log line of a dropped moment
    ScheduledAction action;
    bool isRun; // the run has a run check to start and stop

    CStrW StoredTime() const { return isRun ? g_config.GetDailyRunTime() : g_config.GetDailyCloseTime(); }
    void Store(const CStrW& moment) const
    {
        if (isRun)
            g_config.SetDailyRunTime(moment);
        else
            g_config.SetDailyCloseTime(moment);
    }
};

namespace {

constexpr long long kDay = 86400;
// Ticks come late and skip seconds; a daily moment is still caught when the
// check before it ran at most this long before. A moment that passed while
// nothing was checking (monitoring off, program not running, the machine
// asleep) is not made up for: a reboot time passed before start-up must not
// restart the machine at once.
constexpr long long kCatchUpSeconds = 120;
constexpr UINT kRestartReason = 5;

const CScheduler::Kind& CloseKind();
const CScheduler::Kind& RunKind();

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

CStrW UptimeText(long long s)
{
    CStrW uptime;
    uptime.Format(L"已监控：%d天 %02d:%02d:%02d", static_cast<int>(s / 86400), static_cast<int>((s / 3600) % 24),
                  static_cast<int>((s / 60) % 60), static_cast<int>(s % 60));
    return uptime;
}

// The pending once-only moment kept in the configuration, or 0. A moment
// that passed before start-up (a power cut, a day off) is dropped with a log
// line, as the daily moments are: no check saw it come, and carried out late
// it would close or start everything at a moment nobody chose.
long long RestoredOnceMoment(const CScheduler::Kind& kind, long long now)
{
    if (!ConfigFlag(kind.onceKey))
        return 0;
    CStrW stored = kind.StoredTime();
    // Ticked by the daily box, the once-only box follows it: the stored moment
    // is the daily one, and its next coming is the once-only moment.
    if (ConfigFlag(kind.dailyKey))
        return NextOccurrence(now, StoredDailyTime(stored));
    long long moment = StoredMoment(stored, now);
    if (moment >= now)
        return moment;
    g_config.SetInt(0, kind.onceKey, 0);
    g_errorLog.AddFormat({EventKind::ScheduleMissed}, L"%s的时间 %s 在本程序启动前已过, 不再执行", kind.name,
                         FormatTimeText(moment).c_str());
    return 0;
}

long long SystemClock()
{
    return TimeNow();
}

const CScheduler::Kind& CloseKind()
{
    static const CScheduler::Kind kind = {"timingclosecheck",
                                          "timingclosecheck_everyday",
                                          &CScheduler::onceCloseTime,
                                          &ScheduleForm::onceClose,
                                          &ScheduleForm::dailyClose,
                                          &ScheduleForm::closeTime,
                                          L"定时关闭程序,剩余:",
                                          L"每天定时关闭程序,剩余:",
                                          L"定时关闭程序",
                                          ScheduledAction::Close,
                                          false};
    return kind;
}

const CScheduler::Kind& RunKind()
{
    static const CScheduler::Kind kind = {"timingruncheck",
                                          "timingruncheck_everyday",
                                          &CScheduler::onceRunTime,
                                          &ScheduleForm::onceRun,
                                          &ScheduleForm::dailyRun,
                                          &ScheduleForm::runTime,
                                          L"定时开启程序,剩余:",
                                          L"每天定时开启程序,剩余:",
                                          L"定时开启程序",
                                          ScheduledAction::Run,
                                          true};
    return kind;
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
}

TickOutcome CScheduler::ClockTick(long long now, bool monitoring)
{
    TickOutcome outcome;
    outcome.countdown.Reserve(g_programCount * 260);
    if (monitoring)
        outcome.uptime = UptimeText(++monitoredSeconds);
    outcome.restartComputer = CheckDailyReboot(now, outcome.countdown);
    CheckClose(now, outcome);
    return outcome;
}

TickOutcome CScheduler::RunTick(long long now)
{
    TickOutcome outcome;
    CheckRun(now, outcome);
    // The run check's countdown is shown nowhere.
    outcome.countdown.Release();
    return outcome;
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

bool CScheduler::CheckDailyReboot(long long now, CStrW& text)
{
    if (!ConfigFlag("autoreboot"))
        return false;
    long long target = TodayAt(now, TimeOfDay(ParseHms(g_config.GetRebootTime())));
    bool due = DueToday(m_reboot, target, now);
    long long d = target - now;
    if (d < 0) {
        target += kDay;
        d += kDay;
    }
    AppendBlock(text, L"定时重启电脑,剩余:", d, L"重启时间:", target, L"现在时间:", now);
    return due;
}

void CScheduler::Act(const Kind& kind, bool daily, long long nextMoment, TickOutcome& outcome)
{
    if (daily) {
        kind.Store(FormatTimeText(nextMoment));
    } else {
        this->*kind.once = 0;
        g_config.SetInt(0, kind.onceKey, 0);
    }
    outcome.action = kind.action;
    outcome.onceOnly = !daily;
}

void CScheduler::CheckOnce(const Kind& kind, long long now, TickOutcome& outcome)
{
    if (this->*kind.once == 0 && !ConfigFlag(kind.onceKey))
        return;
    long long r = this->*kind.once - now;
    if (r <= 0)
        Act(kind, false, 0, outcome);
    long long target = this->*kind.once;
    AppendBlock(outcome.countdown, kind.onceLabel, r, L"目标时间：", target ? target : now, L"现在时间：", now);
}

void CScheduler::CheckDaily(const Kind& kind, DailyTrack& track, long long now, TickOutcome& outcome)
{
    if (!ConfigFlag(kind.dailyKey)) {
        CheckOnce(kind, now, outcome);
        return;
    }
    long long target = TodayAt(now, StoredDailyTime(kind.StoredTime()));
    // The firing tick shows the moment it reached; from the next tick on, for
    // the rest of the day, the countdown runs to the next day's.
    if (DueToday(track, target, now))
        Act(kind, true, target + kDay, outcome);
    else if (target <= now)
        target += kDay;
    AppendBlock(outcome.countdown, kind.dailyLabel, target - now, L"目标时间：", target, L"现在时间：", now);
}

void CScheduler::CheckClose(long long now, TickOutcome& outcome)
{
    CheckDaily(CloseKind(), m_close, now, outcome);
}

void CScheduler::CheckRun(long long now, TickOutcome& outcome)
{
    CheckDaily(RunKind(), m_run, now, outcome);
}

FormOutcome CScheduler::OnTimeEdited(const Kind& kind, const ScheduleForm& form)
{
    this->*kind.once = NextOccurrence(Now(), SplitHms(form.*kind.field));
    kind.Store(FormatTimeText(this->*kind.once));
    FormOutcome outcome;
    outcome.form = form;
    return outcome;
}

FormOutcome CScheduler::OnCloseTimeEdited(const ScheduleForm& form)
{
    return OnTimeEdited(CloseKind(), form);
}

FormOutcome CScheduler::OnRunTimeEdited(const ScheduleForm& form)
{
    return OnTimeEdited(RunKind(), form);
}

void CScheduler::Refuse(const Kind& kind, long long moment, long long now, FormOutcome& outcome)
{
    outcome.message.AssignChars(L"设置的时间不能小于现在的时间\r\n设置的时间为：", 0);
    AppendText(outcome.message, FormatTimeText(moment));
    outcome.message.AppendChars(L"\r\n现在的时间为：", 0);
    AppendText(outcome.message, FormatTimeText(now));
    outcome.icon = MB_ICONERROR;
    outcome.form.*kind.onceBox = false;
    this->*kind.once = 0;
    g_config.SetInt(0, kind.onceKey, 0);
}

FormOutcome CScheduler::OnOnceBox(const Kind& kind, const ScheduleForm& form)
{
    FormOutcome outcome;
    outcome.form = form;
    // With no programs the click is taken back: a ticked box would promise a
    // schedule that nothing stores.
    if (g_programCount == 0) {
        outcome.message.AssignChars(L"未设置需要监控的程序", 0);
        outcome.icon = MB_ICONINFORMATION;
        outcome.form.*kind.onceBox = !(form.*kind.onceBox);
        return outcome;
    }
    bool on = form.*kind.onceBox;
    g_config.SetInt(0, kind.onceKey, on ? 1 : 0);
    if (!on) {
        this->*kind.once = 0;
        if (kind.isRun)
            outcome.runCheck = RunCheck::Stop;
        return outcome;
    }
    long long now = Now();
    long long moment = TodayAt(now, SplitHms(form.*kind.field));
    this->*kind.once = moment;
    if (form.*kind.dailyBox)
        return OnDailyBox(kind, form);
    if (moment - now <= 0) {
        Refuse(kind, moment, now, outcome);
        return outcome;
    }
    // The key holds the armed moment, date included, for the next start.
    kind.Store(FormatTimeText(moment));
    if (kind.isRun)
        outcome.runCheck = RunCheck::Start;
    return outcome;
}

FormOutcome CScheduler::OnOnceRunBox(const ScheduleForm& form)
{
    return OnOnceBox(RunKind(), form);
}

FormOutcome CScheduler::OnOnceCloseBox(const ScheduleForm& form)
{
    return OnOnceBox(CloseKind(), form);
}

FormOutcome CScheduler::OnDailyBox(const Kind& kind, const ScheduleForm& form)
{
    FormOutcome outcome;
    outcome.form = form;
    bool on = form.*kind.dailyBox;
    if (on) {
        outcome = OnTimeEdited(kind, form);
        outcome.form.*kind.onceBox = true;
        g_config.SetInt(0, kind.onceKey, 1);
        if (kind.isRun)
            outcome.runCheck = RunCheck::Start;
    } else {
        // A once-only run that stays armed keeps its run check; the ticked
        // box would otherwise promise a start that never comes.
        if (kind.isRun && (this->*kind.once == 0 || !(form.*kind.onceBox)))
            outcome.runCheck = RunCheck::Stop;
        kind.Store(CStrW());
    }
    g_config.SetInt(0, kind.dailyKey, on ? 1 : 0);
    return outcome;
}

FormOutcome CScheduler::OnDailyRunBox(const ScheduleForm& form)
{
    return OnDailyBox(RunKind(), form);
}

FormOutcome CScheduler::OnDailyCloseBox(const ScheduleForm& form)
{
    return OnDailyBox(CloseKind(), form);
}

void CScheduler::RestoreOnceTargets()
{
    long long now = Now();
    onceCloseTime = RestoredOnceMoment(CloseKind(), now);
    onceRunTime = RestoredOnceMoment(RunKind(), now);
}

bool CScheduler::RunCheckArmed() const
{
    return ConfigFlag("timingruncheck") || ConfigFlag("timingruncheck_everyday");
}

} // namespace tw
