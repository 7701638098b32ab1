#include "schedule/time_calc.h"

#include "core/text_ops.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace tw {

namespace {

constexpr long long kDay = 86400;
constexpr long long kUtc8Offset = 8 * 3600;

int NumberOf(const CStrW& part)
{
    return part.IsEmpty() ? 0 : _wtoi(part.c_str());
}

// Floor division: moments before 1970 still fall on the right day.
long long FloorDiv(long long value, long long divisor)
{
    long long q = value / divisor;
    return (value % divisor != 0 && value < 0) ? q - 1 : q;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (the
// well-known era arithmetic; no C library zone or range limits involved).
long long DaysFromCivil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    long long era = FloorDiv(year, 400);
    unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

} // namespace

CStrW FormatDuration(long long seconds)
{
    long long d = seconds < 0 ? 0 : seconds;
    CStrW text;
    text.Format(L"(%02d小时%02d分钟%02d秒)\r\n", static_cast<int>((d / 3600) % 24), static_cast<int>((d / 60) % 60),
                static_cast<int>(d % 60));
    return text;
}

Hms SplitHms(const CStrW& text)
{
    return {NumberOf(LeftOfFirstColon(text)), NumberOf(BetweenFirstColons(text)), NumberOf(AfterLastColon(text))};
}

int ParseHms(const CStrW& text)
{
    Hms t = SplitHms(text);
    long long total = (static_cast<long long>(t.hours) * 60 + t.minutes) * 60 + t.seconds;
    if (total > INT_MAX)
        return INT_MAX;
    if (total < INT_MIN)
        return INT_MIN;
    return static_cast<int>(total);
}

long long StoredMoment(const CStrW& stored, long long now)
{
    int year = 0, month = 0, day = 0, hours = 0, minutes = 0, seconds = 0;
    if (stored.Length() < 19 ||
        swscanf(stored.c_str(), L"%4d-%2d-%2d %d:%d:%d", &year, &month, &day, &hours, &minutes, &seconds) != 6 ||
        month < 1 || month > 12 || day < 1 || day > 31)
        return TodayAt(now, SplitHms(RightChars(stored, 8)));
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * kDay - kUtc8Offset +
           hours * 3600LL + minutes * 60LL + seconds;
}

long long Utc8Day(long long moment)
{
    return FloorDiv(moment + kUtc8Offset, kDay);
}

// Pure arithmetic on the UTC+8 day rather than the C library's local time:
// the targets then agree with the times shown, whatever the machine's zone,
// and no daylight-saving shift moves them.
long long TodayAt(long long now, int hours, int minutes, int seconds)
{
    long long midnight = Utc8Day(now) * kDay - kUtc8Offset;
    return midnight + static_cast<long long>(hours) * 3600 + static_cast<long long>(minutes) * 60 + seconds;
}

long long TodayAt(long long now, const Hms& time)
{
    return TodayAt(now, time.hours, time.minutes, time.seconds);
}

long long NextOccurrence(long long now, const Hms& time)
{
    long long moment = TodayAt(now, time);
    if (moment - now <= 0)
        moment += (FloorDiv(now - moment, kDay) + 1) * kDay;
    return moment;
}

long long TimeNow()
{
    return static_cast<long long>(_time64(nullptr));
}

} // namespace tw
