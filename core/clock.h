// The program's wall clock: UTC+8 at all times, whatever the machine's own
// time zone, with no daylight-saving shift.
#pragma once

#include <time.h>

namespace tw {

// Breaks a time value (seconds since 1970 UTC; 0 means now) down as the
// UTC+8 calendar date and time. False when the value cannot be broken down.
bool BreakDownUtc8(long long seconds, struct tm* parts);

} // namespace tw
