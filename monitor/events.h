// The kinds of the error log's lines. Every line is logged with its kind and,
// where it has one, its program, so that the outputs for a fleet (the event
// log, the metrics file, the webhook) never have to read them back from the
// text, which in several lines names no program at all.
#pragma once

#include <stddef.h>

namespace tw {

enum class EventKind : unsigned char {
    TollwickStart,
    TollwickExit,
    UncleanEnd,
    GuardianRestart,
    MonitoringStart,
    MonitoringStop,
    Restart,
    StartFailed,
    HangSeen,
    HangRecovered,
    HangKill,
    KillRefused,
    EndPending,
    ProbeRefused,
    ErrorWindowClosed,
    Crash,
    BackoffBegin,
    BackoffEnd,
    HealthFailure,
    HealthRecovery,
    DailyReboot,
    RebootRefused,
    ScheduledClose,
    ScheduledStart,
    ScheduleMissed,
    WriteFailed,
    SettingInvalid,
    Count
};

constexpr int kEventKindCount = static_cast<int>(EventKind::Count);

enum class EventLevel : unsigned char { Information, Warning, Error };

// A kind's short name (the webhook's "event"), its event id in the Windows
// event log, and its level there. Ids and names are what receivers filter on:
// once shipped they never change.
struct EventKindInfo {
    const char* name;
    unsigned short id;
    EventLevel level;
};

const EventKindInfo& KindInfo(EventKind kind);

// What a log line is about: its kind, the table index of its program (-1:
// none) and, for a health check's lines, the check (-1: none).
struct LogEvent {
    EventKind kind;
    int program = -1;
    int check = -1;
};

inline LogEvent ProgramEvent(EventKind kind, size_t index, int check = -1)
{
    return LogEvent{kind, static_cast<int>(index), check};
}

} // namespace tw
