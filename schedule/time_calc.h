// The scheduler's time arithmetic on the program's fixed UTC+8 wall clock.
// Time values are seconds since 1970-01-01 00:00:00 UTC.
#pragma once

#include "core/str.h"

namespace tw {

// An hour, minute and second as typed; not limited to their usual ranges.
struct Hms {
    int hours;
    int minutes;
    int seconds;
};

// "(hh小时mm分钟ss秒)\r\n" of a count of seconds; whole days are not shown and
// a negative count shows zeros.
CStrW FormatDuration(long long seconds);
// "h:m:s" split at its colons, each part read with _wtoi; a missing part
// counts 0 (one colon makes the second part the seconds).
Hms SplitHms(const CStrW& text);
// (h * 60 + m) * 60 + s of SplitHms, kept within the signed 32-bit range.
int ParseHms(const CStrW& text);
// A stored moment "YYYY-MM-DD hh:mm:ss" on the UTC+8 calendar. A text without
// a valid date (a time typed by hand) is today at its last 8 characters.
long long StoredMoment(const CStrW& stored, long long now);
// Today (on the UTC+8 calendar) at h:m:s; values out of range carry over
// (an hour of 25 is 01 of the next day).
long long TodayAt(long long now, int hours, int minutes, int seconds);
long long TodayAt(long long now, const Hms& time);
// TodayAt, or the same moment of the next day when that is not in the future.
long long NextOccurrence(long long now, const Hms& time);
// The number of the UTC+8 calendar day a moment falls on.
long long Utc8Day(long long moment);
// The time value now.
long long TimeNow();

} // namespace tw
