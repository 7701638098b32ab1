// The scheduler's decisions, without a window: what each tick of the clock
// and of the run check asks the window to show and do, what the settings
// dialog's schedule controls come to, and the configuration keys it keeps.
// Time comes from a clock the tests set.
#include "config/config.h"
#include "monitor/error_log.h"
#include "monitor/program_table.h"
#include "schedule/scheduler.h"
#include "tests/schedule_clock.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <string>

using tw::CStrW;
using tw::FormOutcome;
using tw::g_config;
using tw::g_scheduler;
using tw::RunCheck;
using tw::ScheduledAction;
using tw::ScheduleForm;
using tw::TickOutcome;
using tw_test::Utc8;

namespace {

long long g_fakeNow = 0;

long long FakeNow()
{
    return g_fakeNow;
}

std::wstring ConfigText(const char* key)
{
    return tw::ToWide(g_config.GetText(0, key, tw::CStrA())).c_str();
}

long long ConfigInt(const char* key)
{
    return g_config.GetInt(0, key, -1);
}

std::string Utf8(const CStrW& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out.c_str();
}

bool Contains(const CStrW& text, const wchar_t* part)
{
    return std::wstring(text.c_str()).find(part) != std::wstring::npos;
}

ScheduleForm Form(const wchar_t* runTime, const wchar_t* closeTime)
{
    ScheduleForm form;
    form.runTime = runTime;
    form.closeTime = closeTime;
    return form;
}

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
        ASSERT_TRUE(g_config.OpenIn(CStrW(dir.Path().c_str())));
        savedClock = g_scheduler.clock;
        g_scheduler.Reset();
        g_scheduler.clock = FakeNow;
        g_fakeNow = Utc8(2026, 12, 7, 10, 0, 0);
    }

    void TearDown() override
    {
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
        g_scheduler.Reset();
        g_scheduler.clock = savedClock;
    }

    // One program entry, loaded as at start-up: the schedule boxes need one.
    void LoadAProgram()
    {
        g_config.SetText(1, "procpath", tw::ToNarrow(dir.File(L"some.exe").c_str()));
        g_config.SetText(1, "procname", "some.exe");
        tw::LoadMonitorList();
    }

    TickOutcome Tick(long long now, bool monitoring = true)
    {
        g_fakeNow = now;
        return g_scheduler.ClockTick(now, monitoring);
    }
    TickOutcome RunTick(long long now)
    {
        g_fakeNow = now;
        return g_scheduler.RunTick(now);
    }

    tw_test::TempDir dir;
    long long (*savedClock)() = nullptr;
};

} // namespace

TEST_F(SchedulerTest, AOnceOnlyCloseCountsDownAndAtZeroClosesEverything)
{
    long long start = g_fakeNow;
    g_scheduler.onceCloseTime = start + 5;
    g_config.SetTimingCloseCheck(1);
    for (int i = 0; i < 5; ++i) {
        TickOutcome tick = Tick(start + i);
        EXPECT_EQ(tick.action, ScheduledAction::None);
        EXPECT_EQ(std::wstring(tick.countdown.c_str()).find(L"定时关闭程序,剩余:" + std::to_wstring(5 - i) + L"秒"), 0u)
            << Utf8(tick.countdown);
        if (i == 4) {
            EXPECT_STREQ(tick.countdown.c_str(), L"定时关闭程序,剩余:1秒(00小时00分钟01秒)\r\n目标时间：2026-12-07 "
                                                 L"10:00:05\r\n现在时间：2026-12-07 10:00:04\r\n\r\n");
        }
    }
    TickOutcome fired = Tick(start + 5);
    EXPECT_EQ(fired.action, ScheduledAction::Close);
    EXPECT_TRUE(fired.onceOnly);
    EXPECT_EQ(ConfigInt("timingclosecheck"), 0);
    EXPECT_EQ(g_scheduler.onceCloseTime, 0);
    EXPECT_EQ(Tick(start + 6).action, ScheduledAction::None) << "once only";

    // Armed while monitoring was off: the first tick after the start acts.
    g_scheduler.onceCloseTime = start - 60;
    EXPECT_EQ(Tick(start + 7).action, ScheduledAction::Close);
}

TEST_F(SchedulerTest, TheOnceOnlyBoxesRefuseAPassedTimeAndNeedAProgram)
{
    ScheduleForm form = Form(L"09:00:00", L"11:00:00");
    form.onceClose = true;
    FormOutcome none = g_scheduler.OnOnceCloseBox(form);
    EXPECT_STREQ(none.message.c_str(), L"未设置需要监控的程序");
    EXPECT_FALSE(none.form.onceClose) << "the click is taken back";
    EXPECT_EQ(ConfigInt("timingclosecheck"), -1) << "nothing is stored";

    LoadAProgram();
    form.onceRun = true;
    FormOutcome refused = g_scheduler.OnOnceRunBox(form);
    EXPECT_STREQ(refused.message.c_str(), L"设置的时间不能小于现在的时间\r\n设置的时间为：2026-12-07 09:00:00\r\n"
                                          L"现在的时间为：2026-12-07 10:00:00");
    EXPECT_EQ(refused.icon, static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(refused.form.onceRun);
    EXPECT_EQ(refused.runCheck, RunCheck::Keep) << "no run check";
    EXPECT_EQ(ConfigInt("timingruncheck"), 0);
    EXPECT_EQ(g_scheduler.onceRunTime, 0);
}

TEST_F(SchedulerTest, AOnceOnlyRunAheadStartsTheRunCheckWhichRunsOnce)
{
    LoadAProgram();
    ScheduleForm form = Form(L"10:00:03", L"");
    form.onceRun = true;
    FormOutcome armed = g_scheduler.OnOnceRunBox(form);
    EXPECT_TRUE(armed.message.IsEmpty());
    EXPECT_TRUE(armed.form.onceRun);
    EXPECT_EQ(armed.runCheck, RunCheck::Start);
    EXPECT_EQ(ConfigInt("timingruncheck"), 1);
    EXPECT_EQ(ConfigText("timingrun_everyday_time"), L"2026-12-07 10:00:03") << "the armed moment, date included";
    EXPECT_TRUE(g_scheduler.RunCheckArmed());

    EXPECT_EQ(RunTick(g_fakeNow + 2).action, ScheduledAction::None);
    TickOutcome run = RunTick(g_fakeNow + 1);
    EXPECT_EQ(run.action, ScheduledAction::Run);
    EXPECT_TRUE(run.onceOnly);
    EXPECT_EQ(ConfigInt("timingruncheck"), 0);
    EXPECT_EQ(g_scheduler.onceRunTime, 0);
    EXPECT_FALSE(g_scheduler.RunCheckArmed());

    form.onceRun = false;
    EXPECT_EQ(g_scheduler.OnOnceRunBox(form).runCheck, RunCheck::Stop) << "unticked, the run check stops";
}

TEST_F(SchedulerTest, TheTimeFieldsAndTheDailyBoxesArmTheNextComing)
{
    LoadAProgram();
    FormOutcome typed = g_scheduler.OnCloseTimeEdited(Form(L"", L"9:30:00"));
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 9, 30, 0)) << "the next coming of that time";
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"2026-12-08 09:30:00");
    EXPECT_FALSE(typed.form.onceClose) << "a typed time ticks no box";

    ScheduleForm form = Form(L"", L"09:00:00");
    form.dailyClose = true;
    FormOutcome daily = g_scheduler.OnDailyCloseBox(form);
    EXPECT_TRUE(daily.form.onceClose) << "the daily box ticks the once box";
    EXPECT_EQ(ConfigInt("timingclosecheck"), 1);
    EXPECT_EQ(ConfigInt("timingclosecheck_everyday"), 1);
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"2026-12-08 09:00:00");
    long long armed = g_scheduler.onceCloseTime;

    form = daily.form;
    form.dailyClose = false;
    FormOutcome off = g_scheduler.OnDailyCloseBox(form);
    EXPECT_EQ(ConfigInt("timingclosecheck_everyday"), 0);
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"");
    EXPECT_TRUE(off.form.onceClose) << "the once-only close stays armed";
    EXPECT_EQ(g_scheduler.onceCloseTime, armed);

    // The daily run starts the run check; unticked with no once-only run, it
    // stops it again.
    form = Form(L"08:00:00", L"");
    form.dailyRun = true;
    EXPECT_EQ(g_scheduler.OnDailyRunBox(form).runCheck, RunCheck::Start);
    form.dailyRun = false;
    form.onceRun = false;
    EXPECT_EQ(g_scheduler.OnDailyRunBox(form).runCheck, RunCheck::Stop);
}

TEST_F(SchedulerTest, ADailyCloseAndALaterDailyRunActOnceEachThatDay)
{
    // Stored with another date: only the time of day counts.
    g_config.SetInt(0, "timingclosecheck_everyday", 1);
    g_config.SetText(0, "timingclose_everyday_time", "2026-11-30 02:00:00");
    g_config.SetInt(0, "timingruncheck_everyday", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2027-01-15 02:05:00");

    EXPECT_EQ(Tick(Utc8(2026, 12, 7, 1, 59, 59)).action, ScheduledAction::None);
    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 1, 59, 59)).action, ScheduledAction::None);
    TickOutcome close = Tick(Utc8(2026, 12, 7, 2, 0, 0));
    EXPECT_EQ(close.action, ScheduledAction::Close);
    EXPECT_FALSE(close.onceOnly);
    EXPECT_TRUE(Contains(close.countdown, L"每天定时关闭程序,剩余:0秒")) << "the moment it reached";
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"2026-12-08 02:00:00");

    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 2, 4, 59)).action, ScheduledAction::None);
    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 2, 5, 0)).action, ScheduledAction::Run);
    EXPECT_EQ(ConfigText("timingrun_everyday_time"), L"2026-12-08 02:05:00");

    // The rest of the day nothing acts, and the countdown runs to the next
    // day's close.
    TickOutcome later = Tick(Utc8(2026, 12, 7, 2, 10, 1));
    EXPECT_EQ(later.action, ScheduledAction::None);
    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 2, 10, 1)).action, ScheduledAction::None);
    EXPECT_STREQ(later.countdown.c_str(), L"每天定时关闭程序,剩余:85799秒(23小时49分钟59秒)\r\n目标时间：2026-12-08 "
                                          L"02:00:00\r\n现在时间：2026-12-07 02:10:01\r\n\r\n");
    EXPECT_EQ(Tick(Utc8(2026, 12, 8, 1, 59, 59)).action, ScheduledAction::None);
    EXPECT_EQ(Tick(Utc8(2026, 12, 8, 2, 0, 0)).action, ScheduledAction::Close) << "the next day's";
}

// The reboot fires once a day, on the tick that reaches its moment or a late
// one, but not for a moment that passed while no clock ran.
TEST_F(SchedulerTest, TheDailyRebootFiresOnceOnTheDayItWasWatchedFor)
{
    g_config.SetInt(0, "autoreboot", 1);
    struct Case {
        const char* time;
        long long before;
        long long at;
        bool fires;
    } cases[] = {
        {"03:00:00", Utc8(2026, 12, 7, 2, 59, 59), Utc8(2026, 12, 7, 3, 0, 2), true}, // a skipped second
        {"25:00:00", Utc8(2026, 12, 9, 0, 59, 59), Utc8(2026, 12, 9, 1, 0, 0), true}, // 25:00:00 is 01:00
        {"01:75:00", Utc8(2026, 12, 10, 2, 14, 59), Utc8(2026, 12, 10, 2, 15, 0), true},
        // Monitoring was off for hours: the moment passed while nothing ticked.
        {"03:00:00", Utc8(2026, 12, 11, 1, 0, 0), Utc8(2026, 12, 11, 4, 0, 0), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.time);
        g_config.SetText(0, "reboottime", c.time);
        EXPECT_FALSE(Tick(c.before).restartComputer);
        TickOutcome at = Tick(c.at);
        EXPECT_EQ(at.restartComputer, c.fires);
        EXPECT_FALSE(Tick(c.at + 1).restartComputer) << "once a day";
        if (c.fires) {
            EXPECT_TRUE(Contains(at.countdown, L"定时重启电脑,剩余:")) << Utf8(at.countdown);
        }
    }
    EXPECT_TRUE(Contains(Tick(Utc8(2026, 12, 11, 4, 0, 2)).countdown, L"重启时间:2026-12-12 03:00:00"));
}

TEST_F(SchedulerTest, TheUptimeCountsOnlyWhileMonitoringAndShowsDays)
{
    g_scheduler.monitoredSeconds = 90060;
    EXPECT_STREQ(Tick(g_fakeNow).uptime.c_str(), L"已监控：1天 01:01:01");
    EXPECT_TRUE(Tick(g_fakeNow + 1, false).uptime.IsEmpty()) << "unchanged while monitoring is off";
    EXPECT_EQ(g_scheduler.monitoredSeconds, 90061);
}

TEST_F(SchedulerTest, StartUpRestoresOnceOnlyMomentsAheadAndDropsPassedOnesWithALogLine)
{
    g_config.SetInt(0, "timingclosecheck", 1);
    g_config.SetText(0, "timingclose_everyday_time", "2026-12-08 01:00:00");
    g_config.SetInt(0, "timingruncheck", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-07 11:30:00");
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 1, 0, 0)) << "tomorrow's moment, not today's 01:00";
    EXPECT_EQ(g_scheduler.onceRunTime, Utc8(2026, 12, 7, 11, 30, 0));
    EXPECT_TRUE(g_scheduler.RunCheckArmed());
    EXPECT_EQ(tw::g_errorLog.Count(), 0u);

    // Passed while Tollwick was not running: a minute before the start, and
    // two days before (its time of day is still ahead today).
    g_config.SetText(0, "timingclose_everyday_time", "2026-12-07 09:59:00");
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-05 11:30:00");
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime, 0);
    EXPECT_EQ(g_scheduler.onceRunTime, 0);
    EXPECT_EQ(ConfigInt("timingclosecheck"), 0);
    EXPECT_EQ(ConfigInt("timingruncheck"), 0);
    EXPECT_FALSE(g_scheduler.RunCheckArmed()) << "nothing armed, no run check";
    CStrW text;
    ASSERT_TRUE(tw::g_errorLog.ReadEntry(1, nullptr, &text));
    EXPECT_STREQ(text.c_str(), L"定时开启程序的时间 2026-12-05 11:30:00 在本程序启动前已过, 不再执行");

    // Ticked along with the daily close, the once-only close follows it.
    g_config.SetInt(0, "timingclosecheck", 1);
    g_config.SetInt(0, "timingclosecheck_everyday", 1);
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 9, 59, 0));
    EXPECT_EQ(ConfigInt("timingclosecheck"), 1);
    EXPECT_EQ(tw::g_errorLog.Count(), 2u);
}
