// The scheduler's time arithmetic. The suite runs under two time zones (see
// CMakeLists.txt): the results must be those of the UTC+8 wall clock in both.
#include "monitor/error_log.h"
#include "schedule/time_calc.h"
#include "tests/schedule_clock.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

using tw::CStrW;
using tw::FormatDuration;
using tw::NextOccurrence;
using tw::ParseHms;
using tw::TodayAt;
using tw_test::Utc8;

TEST(ParseHms, ReadsEachPartWithItsLeadingDigits)
{
    EXPECT_EQ(ParseHms(CStrW(L"01:02:03")), 3723);
    EXPECT_EQ(ParseHms(CStrW(L"1:2:3")), 3723);
    EXPECT_EQ(ParseHms(CStrW(L"8:00:00abc")), 28800);
    EXPECT_EQ(ParseHms(CStrW(L"23:59:59")), 86399);
}

TEST(ParseHms, OneColonMakesTheSecondPartTheSeconds)
{
    EXPECT_EQ(ParseHms(CStrW(L"12:30")), 43230);
}

TEST(ParseHms, NoColonOrNoTextIsZero)
{
    EXPECT_EQ(ParseHms(CStrW(L"12")), 0);
    EXPECT_EQ(ParseHms(CStrW(L"")), 0);
    EXPECT_EQ(ParseHms(CStrW()), 0);
}

TEST(ParseHms, HugeHoursStayWithinThirtyTwoBits)
{
    EXPECT_EQ(ParseHms(CStrW(L"2000000000:0:0")), 2147483647);
    EXPECT_EQ(ParseHms(CStrW(L"-2000000000:0:0")), -2147483647 - 1);
}

TEST(FormatDuration, ShowsHoursMinutesSecondsWithoutWholeDays)
{
    EXPECT_STREQ(FormatDuration(90000).c_str(), L"(01小时00分钟00秒)\r\n");
    EXPECT_STREQ(FormatDuration(3723).c_str(), L"(01小时02分钟03秒)\r\n");
    EXPECT_STREQ(FormatDuration(0).c_str(), L"(00小时00分钟00秒)\r\n");
}

TEST(FormatDuration, ANegativeCountShowsZeros)
{
    EXPECT_STREQ(FormatDuration(-1).c_str(), L"(00小时00分钟00秒)\r\n");
    EXPECT_STREQ(FormatDuration(-90061).c_str(), L"(00小时00分钟00秒)\r\n");
}

TEST(TodayAt, IsTodayOnTheUtc8Calendar)
{
    long long now = Utc8(2026, 12, 7, 10, 0, 0);
    EXPECT_EQ(TodayAt(now, 1, 2, 3), Utc8(2026, 12, 7, 1, 2, 3));
    EXPECT_STREQ(tw::FormatTimeText(TodayAt(now, 1, 2, 3)).c_str(), L"2026-12-07 01:02:03");
    EXPECT_EQ(TodayAt(now, 23, 59, 59), Utc8(2026, 12, 7, 23, 59, 59));
}

TEST(TodayAt, JustAfterUtc8MidnightIsAlreadyTheNewDay)
{
    // 00:30 in UTC+8 is still the day before in UTC and in zones to the west.
    long long now = Utc8(2026, 12, 8, 0, 30, 0);
    EXPECT_EQ(TodayAt(now, 1, 0, 0), Utc8(2026, 12, 8, 1, 0, 0));
    long long late = Utc8(2026, 12, 7, 23, 30, 0);
    EXPECT_EQ(TodayAt(late, 1, 0, 0), Utc8(2026, 12, 7, 1, 0, 0));
}

TEST(TodayAt, ValuesOutOfRangeCarryOver)
{
    long long now = Utc8(2026, 12, 31, 12, 0, 0);
    EXPECT_EQ(TodayAt(now, 25, 0, 0), Utc8(2027, 1, 1, 1, 0, 0));
    EXPECT_EQ(TodayAt(now, 1, 75, 0), Utc8(2026, 12, 31, 2, 15, 0));
    EXPECT_EQ(TodayAt(now, 0, 0, -1), Utc8(2026, 12, 30, 23, 59, 59));
}

TEST(NextOccurrence, IsAlwaysInTheFuture)
{
    long long now = Utc8(2026, 12, 7, 10, 0, 0);
    EXPECT_EQ(NextOccurrence(now, {11, 0, 0}), Utc8(2026, 12, 7, 11, 0, 0));
    EXPECT_EQ(NextOccurrence(now, {10, 0, 0}), Utc8(2026, 12, 8, 10, 0, 0)) << "now itself is not ahead";
    EXPECT_EQ(NextOccurrence(now, {9, 0, 0}), Utc8(2026, 12, 8, 9, 0, 0));
    EXPECT_EQ(NextOccurrence(now, {-50, 0, 0}), Utc8(2026, 12, 7, 22, 0, 0));
}

TEST(StoredMoment, KeepsTheStoredDateOrFallsBackToTodayAtTheTime)
{
    long long now = Utc8(2026, 12, 7, 23, 30, 0);
    struct {
        const wchar_t* stored;
        long long moment;
    } cases[] = {
        {L"2026-12-08 01:00:00", Utc8(2026, 12, 8, 1, 0, 0)}, // tomorrow stays tomorrow
        {L"2026-12-05 10:00:00", Utc8(2026, 12, 5, 10, 0, 0)},
        {L"2024-02-29 00:00:01", Utc8(2024, 2, 29, 0, 0, 1)},
        {L"7:5:0", Utc8(2026, 12, 7, 7, 5, 0)},               // no date: today
        {L"2026-13-40 01:02:03", Utc8(2026, 12, 7, 1, 2, 3)}, // no valid date: its time today
    };
    for (const auto& c : cases)
        EXPECT_EQ(tw::StoredMoment(CStrW(c.stored), now), c.moment) << c.stored;
}

// A run under another zone must really be under it, or the tests above prove
// nothing about the zone; ctest says which offset east of UTC it set.
TEST(TimeZoneOfTheRun, IsTheOneTheRunAsksFor)
{
    const char* expected = getenv("TOLLWICK_UTC_OFFSET");
    if (!expected)
        GTEST_SKIP() << "run without a chosen zone";
    struct tm winter = {};
    winter.tm_year = 2026 - 1900;
    winter.tm_mon = 0;
    winter.tm_mday = 15;
    winter.tm_hour = 12;
    struct tm asUtc = winter;
    long long local = static_cast<long long>(_mktime64(&winter));
    long long utc = static_cast<long long>(_mkgmtime64(&asUtc));
    EXPECT_EQ(utc - local, atoll(expected));
}
