// The scheduler without a window: its time arithmetic on the UTC+8 clock (run under two time zones, see
// CMakeLists.txt), what its ticks and the settings dialog's schedule controls decide, and the keys it keeps.
#include "config/config.h"
#include "monitor/error_log.h"
#include "monitor/program_table.h"
#include "schedule/scheduler.h"
#include "schedule/time_calc.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

using tw::CStrW;
using tw::g_config;
using tw::g_scheduler;
using tw::ScheduledAction;
using tw::TickOutcome;
using tw_test::Utc8;

TEST(TimeCalc, HmsTextsAndDurations)
{
    const std::pair<const wchar_t*, int> texts[] = {
        {L"01:02:03", 3723}, {L"1:2:3", 3723}, {L"8:00:00abc", 28800},          {L"12:30", 43230}, // one colon: seconds
        {L"12", 0},          {L"", 0},         {L"2000000000:0:0", 2147483647}, {L"-2000000000:0:0", -2147483647 - 1}};
    for (const auto& t : texts)
        EXPECT_EQ(tw::ParseHms(CStrW(t.first)), t.second) << testing::PrintToString(t.first);
    EXPECT_EQ(tw::ParseHms(CStrW()), 0);
    // Whole days are not shown, and a negative count shows zeros.
    const std::pair<long long, const wchar_t*> durations[] = {
        {90000, L"(01小时00分钟00秒)\r\n"}, {3723, L"(01小时02分钟03秒)\r\n"}, {-90061, L"(00小时00分钟00秒)\r\n"}};
    for (const auto& d : durations)
        EXPECT_STREQ(tw::FormatDuration(d.first).c_str(), d.second);
}

// 00:30 in UTC+8 is still the day before in UTC and in the zones to the west.
TEST(TimeCalc, TodayAndNextOnTheUtc8Calendar)
{
    long long now = Utc8(2026, 12, 7, 10, 0, 0);
    EXPECT_EQ(tw::TodayAt(now, 1, 2, 3), Utc8(2026, 12, 7, 1, 2, 3));
    EXPECT_STREQ(tw::FormatTimeText(tw::TodayAt(now, 1, 2, 3)).c_str(), L"2026-12-07 01:02:03");
    EXPECT_EQ(tw::TodayAt(Utc8(2026, 12, 8, 0, 30, 0), 1, 0, 0), Utc8(2026, 12, 8, 1, 0, 0));
    EXPECT_EQ(tw::TodayAt(Utc8(2026, 12, 7, 23, 30, 0), 1, 0, 0), Utc8(2026, 12, 7, 1, 0, 0));
    long long newYear = Utc8(2026, 12, 31, 12, 0, 0);
    EXPECT_EQ(tw::TodayAt(newYear, 25, 0, 0), Utc8(2027, 1, 1, 1, 0, 0));
    EXPECT_EQ(tw::TodayAt(newYear, 1, 75, 0), Utc8(2026, 12, 31, 2, 15, 0));
    EXPECT_EQ(tw::TodayAt(newYear, 0, 0, -1), Utc8(2026, 12, 30, 23, 59, 59));
    EXPECT_EQ(tw::NextOccurrence(now, {11, 0, 0}), Utc8(2026, 12, 7, 11, 0, 0));
    EXPECT_EQ(tw::NextOccurrence(now, {10, 0, 0}), Utc8(2026, 12, 8, 10, 0, 0)) << "now itself is not ahead";
    EXPECT_EQ(tw::NextOccurrence(now, {-50, 0, 0}), Utc8(2026, 12, 7, 22, 0, 0));
    // A stored moment keeps its date; without a valid one it is its time today.
    const std::pair<const wchar_t*, long long> stored[] = {{L"2026-12-08 01:00:00", Utc8(2026, 12, 8, 1, 0, 0)},
                                                           {L"2024-02-29 00:00:01", Utc8(2024, 2, 29, 0, 0, 1)},
                                                           {L"7:5:0", Utc8(2026, 12, 7, 7, 5, 0)},
                                                           {L"2026-13-40 01:02:03", Utc8(2026, 12, 7, 1, 2, 3)}};
    for (const auto& s : stored)
        EXPECT_EQ(tw::StoredMoment(CStrW(s.first), Utc8(2026, 12, 7, 23, 30, 0)), s.second) << s.first;
}

// Or the tests above prove nothing about the zone; ctest says which offset east of UTC it set.
TEST(TimeCalc, TheRunIsInTheZoneItAsksFor)
{
    const char* expected = getenv("TOLLWICK_UTC_OFFSET");
    if (!expected)
        GTEST_SKIP() << "run without a chosen zone";
    struct tm winter = {};
    winter.tm_year = 126;
    winter.tm_mday = 15;
    winter.tm_hour = 12;
    struct tm asUtc = winter;
    EXPECT_EQ(_mkgmtime64(&asUtc) - _mktime64(&winter), atoll(expected));
}

namespace {

long long g_fakeNow = 0;

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
        ASSERT_TRUE(g_config.OpenIn(CStrW(dir.Path().c_str())));
        g_scheduler.Reset();
        g_scheduler.clock = [] { return g_fakeNow; };
        g_fakeNow = Utc8(2026, 12, 7, 10, 0, 0);
    }
    // One program entry, loaded as at start-up: the schedule boxes need one.
    void LoadAProgram()
    {
        g_config.SetText(1, "procpath", tw::ToNarrow(dir.File(L"some.exe").c_str()));
        tw::LoadMonitorList();
    }
    static TickOutcome Tick(long long now, bool monitoring = true)
    {
        return g_scheduler.ClockTick(g_fakeNow = now, monitoring);
    }
    static ScheduledAction RunTick(long long now) { return g_scheduler.RunTick(g_fakeNow = now).action; }
    static std::wstring Key(const char* key) { return tw::ToWide(g_config.GetText(0, key, tw::CStrA("-"))).c_str(); }
    static tw::ScheduleForm Form(const wchar_t* runTime, const wchar_t* closeTime)
    {
        tw::ScheduleForm form;
        form.runTime = runTime;
        form.closeTime = closeTime;
        return form;
    }

    tw_test::TempDir dir;
};

} // namespace

// Armed while monitoring was off, the first tick after the start acts.
TEST_F(SchedulerTest, AOnceOnlyCloseCountsDownAndAtZeroClosesEverything)
{
    long long start = g_fakeNow;
    g_scheduler.onceCloseTime = start + 5;
    g_config.SetTimingCloseCheck(1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Tick(start + i).action, ScheduledAction::None);
    EXPECT_STREQ(Tick(start + 4).countdown.c_str(), L"定时关闭程序,剩余:1秒(00小时00分钟01秒)\r\n目标时间：2026-12-07 "
                                                    L"10:00:05\r\n现在时间：2026-12-07 10:00:04\r\n\r\n");
    TickOutcome fired = Tick(start + 5);
    EXPECT_EQ(fired.action, ScheduledAction::Close);
    EXPECT_TRUE(fired.onceOnly);
    EXPECT_EQ(Key("timingclosecheck"), L"0");
    EXPECT_EQ(Tick(start + 6).action, ScheduledAction::None) << "once only";
    g_scheduler.onceCloseTime = start - 60;
    EXPECT_EQ(Tick(start + 7).action, ScheduledAction::Close);
}

// Without programs the click is taken back and nothing stored.
TEST_F(SchedulerTest, TheOnceOnlyBoxesNeedAProgramAndAMomentAheadWhichActsOnce)
{
    tw::ScheduleForm form = Form(L"09:00:00", L"11:00:00");
    form.onceClose = form.onceRun = true;
    tw::FormOutcome none = g_scheduler.OnOnceCloseBox(form);
    EXPECT_STREQ(none.message.c_str(), L"未设置需要监控的程序");
    EXPECT_FALSE(none.form.onceClose);
    EXPECT_EQ(Key("timingclosecheck"), L"-");
    LoadAProgram();
    tw::FormOutcome refused = g_scheduler.OnOnceRunBox(form);
    EXPECT_STREQ(refused.message.c_str(), L"设置的时间不能小于现在的时间\r\n设置的时间为：2026-12-07 09:00:00\r\n"
                                          L"现在的时间为：2026-12-07 10:00:00");
    EXPECT_EQ(refused.icon, static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(refused.form.onceRun);
    EXPECT_EQ(refused.runCheck, tw::RunCheck::Keep);
    EXPECT_EQ(Key("timingruncheck"), L"0");
    EXPECT_EQ(g_scheduler.onceRunTime, 0);

    form.runTime = L"10:00:03";
    tw::FormOutcome armed = g_scheduler.OnOnceRunBox(form);
    EXPECT_TRUE(armed.message.IsEmpty() && armed.form.onceRun);
    EXPECT_EQ(armed.runCheck, tw::RunCheck::Start);
    EXPECT_EQ(Key("timingruncheck") + Key("timingrun_everyday_time"), L"12026-12-07 10:00:03")
        << "the armed moment, date included";
    EXPECT_TRUE(g_scheduler.RunCheckArmed());
    EXPECT_EQ(RunTick(g_fakeNow + 2), ScheduledAction::None);
    EXPECT_EQ(RunTick(g_fakeNow + 1), ScheduledAction::Run);
    EXPECT_EQ(Key("timingruncheck"), L"0");
    EXPECT_FALSE(g_scheduler.RunCheckArmed());
    form.onceRun = false;
    EXPECT_EQ(g_scheduler.OnOnceRunBox(form).runCheck, tw::RunCheck::Stop) << "unticked, the run check stops";
}

// A typed time ticks no box; the daily box ticks the once box, and unticked leaves the once-only close armed.
TEST_F(SchedulerTest, TheTimeFieldsAndTheDailyBoxesArmTheNextComing)
{
    LoadAProgram();
    EXPECT_FALSE(g_scheduler.OnCloseTimeEdited(Form(L"", L"9:30:00")).form.onceClose);
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 9, 30, 0));
    EXPECT_EQ(Key("timingclose_everyday_time"), L"2026-12-08 09:30:00");
    tw::ScheduleForm form = Form(L"", L"09:00:00");
    form.dailyClose = true;
    tw::FormOutcome daily = g_scheduler.OnDailyCloseBox(form);
    EXPECT_TRUE(daily.form.onceClose);
    EXPECT_EQ(Key("timingclosecheck") + Key("timingclosecheck_everyday") + Key("timingclose_everyday_time"),
              L"112026-12-08 09:00:00");
    long long armed = g_scheduler.onceCloseTime;
    form = daily.form;
    form.dailyClose = false;
    EXPECT_TRUE(g_scheduler.OnDailyCloseBox(form).form.onceClose);
    EXPECT_EQ(Key("timingclosecheck_everyday") + Key("timingclose_everyday_time"), L"0-");
    EXPECT_EQ(g_scheduler.onceCloseTime, armed);
    form = Form(L"08:00:00", L"");
    form.dailyRun = true;
    EXPECT_EQ(g_scheduler.OnDailyRunBox(form).runCheck, tw::RunCheck::Start);
    form.dailyRun = false;
    EXPECT_EQ(g_scheduler.OnDailyRunBox(form).runCheck, tw::RunCheck::Stop);
}

// Stored with another date: only the time of day counts.
TEST_F(SchedulerTest, ADailyCloseAndALaterDailyRunActOnceEachThatDay)
{
    g_config.SetInt(0, "timingclosecheck_everyday", 1);
    g_config.SetText(0, "timingclose_everyday_time", "2026-11-30 02:00:00");
    g_config.SetInt(0, "timingruncheck_everyday", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2027-01-15 02:05:00");
    EXPECT_EQ(Tick(Utc8(2026, 12, 7, 1, 59, 59)).action, ScheduledAction::None);
    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 1, 59, 59)), ScheduledAction::None);
    TickOutcome close = Tick(Utc8(2026, 12, 7, 2, 0, 0));
    EXPECT_EQ(close.action, ScheduledAction::Close);
    EXPECT_FALSE(close.onceOnly);
    EXPECT_EQ(std::wstring(close.countdown.c_str()).find(L"每天定时关闭程序,剩余:0秒"), 0u) << "the moment it reached";
    EXPECT_EQ(Key("timingclose_everyday_time"), L"2026-12-08 02:00:00");
    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 2, 4, 59)), ScheduledAction::None);
    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 2, 5, 0)), ScheduledAction::Run);
    EXPECT_EQ(Key("timingrun_everyday_time"), L"2026-12-08 02:05:00");
    TickOutcome later = Tick(Utc8(2026, 12, 7, 2, 10, 1));
    EXPECT_EQ(later.action, ScheduledAction::None);
    EXPECT_EQ(RunTick(Utc8(2026, 12, 7, 2, 10, 1)), ScheduledAction::None);
    EXPECT_STREQ(later.countdown.c_str(), L"每天定时关闭程序,剩余:85799秒(23小时49分钟59秒)\r\n目标时间：2026-12-08 "
                                          L"02:00:00\r\n现在时间：2026-12-07 02:10:01\r\n\r\n");
    EXPECT_EQ(Tick(Utc8(2026, 12, 8, 1, 59, 59)).action, ScheduledAction::None);
    EXPECT_EQ(Tick(Utc8(2026, 12, 8, 2, 0, 0)).action, ScheduledAction::Close) << "the next day's";
}

// On the tick that reaches its moment or a late one, but not for a moment that passed while no clock ran.
TEST_F(SchedulerTest, TheDailyRebootFiresOnceOnTheDayItWasWatchedFor)
{
    g_config.SetInt(0, "autoreboot", 1);
    const struct {
        const char* time;
        long long before, at;
        bool fires;
    } cases[] = {
        {"03:00:00", Utc8(2026, 12, 7, 2, 59, 59), Utc8(2026, 12, 7, 3, 0, 2), true}, // a skipped second
        {"25:00:00", Utc8(2026, 12, 9, 0, 59, 59), Utc8(2026, 12, 9, 1, 0, 0), true}, // 25:00:00 is 01:00
        {"01:75:00", Utc8(2026, 12, 10, 2, 14, 59), Utc8(2026, 12, 10, 2, 15, 0), true},
        // Monitoring was off for hours: the moment passed while nothing ticked.
        {"03:00:00", Utc8(2026, 12, 11, 1, 0, 0), Utc8(2026, 12, 11, 4, 0, 0), false},
    };
    for (const auto& c : cases) {
        g_config.SetText(0, "reboottime", c.time);
        EXPECT_FALSE(Tick(c.before).restartComputer) << c.time;
        TickOutcome at = Tick(c.at);
        EXPECT_EQ(at.restartComputer, c.fires) << c.time;
        EXPECT_FALSE(Tick(c.at + 1).restartComputer) << "once a day";
        EXPECT_EQ(std::wstring(at.countdown.c_str()).find(L"定时重启电脑,剩余:"), 0u);
    }
    EXPECT_NE(std::wstring(Tick(Utc8(2026, 12, 11, 4, 0, 2)).countdown.c_str()).find(L"重启时间:2026-12-12 03:00:00"),
              std::wstring::npos);
}

TEST_F(SchedulerTest, TheUptimeCountsOnlyWhileMonitoringAndShowsDays)
{
    g_scheduler.monitoredSeconds = 90060;
    EXPECT_STREQ(Tick(g_fakeNow).uptime.c_str(), L"已监控：1天 01:01:01");
    EXPECT_TRUE(Tick(g_fakeNow + 1, false).uptime.IsEmpty()) << "unchanged while monitoring is off";
    EXPECT_EQ(g_scheduler.monitoredSeconds, 90061);
}

// Passed before the start (even two days before with its time of day still ahead): dropped. Ticked along
// with the daily close, the once-only close follows it.
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

    g_config.SetText(0, "timingclose_everyday_time", "2026-12-07 09:59:00");
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-05 11:30:00");
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime + g_scheduler.onceRunTime, 0);
    EXPECT_EQ(Key("timingclosecheck") + Key("timingruncheck"), L"00");
    EXPECT_FALSE(g_scheduler.RunCheckArmed()) << "nothing armed, no run check";
    CStrW text;
    ASSERT_TRUE(tw::g_errorLog.ReadEntry(1, nullptr, &text));
    EXPECT_STREQ(text.c_str(), L"定时开启程序的时间 2026-12-05 11:30:00 在本程序启动前已过, 不再执行");

    g_config.SetInt(0, "timingclosecheck", 1);
    g_config.SetInt(0, "timingclosecheck_everyday", 1);
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 9, 59, 0));
    EXPECT_EQ(Key("timingclosecheck"), L"1");
    EXPECT_EQ(tw::g_errorLog.Count(), 2u);
}
