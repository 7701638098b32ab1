// Moments on the UTC+8 wall clock for the scheduler's tests, computed with
// the C runtime's UTC conversion so that they do not depend on the machine's
// time zone or on the code under test.
#pragma once

#include <time.h>

namespace tw_test {

inline long long Utc8(int year, int month, int day, int hour, int minute, int second)
{
    struct tm parts = {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return static_cast<long long>(_mkgmtime64(&parts)) - 8 * 3600;
}

} // namespace tw_test
