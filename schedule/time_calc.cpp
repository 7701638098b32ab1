#include "schedule/time_calc.h"

#include "core/text_ops.h"

#include <limits.h>
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

Hms StoredTimeOfDay(const CStrW& stored)
{
    return SplitHms(RightChars(stored, 8));
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
