#include "monitor/events.h"

namespace tw {

namespace {

// In the order of EventKind. Information 1xx, warnings 2xx, errors 3xx.
constexpr EventKindInfo kKinds[kEventKindCount] = {
    {"tollwick_start", 100, EventLevel::Information},
    {"tollwick_exit", 101, EventLevel::Information},
    {"unclean_end", 210, EventLevel::Warning},
    {"guardian_restart", 211, EventLevel::Warning},
    {"monitoring_start", 102, EventLevel::Information},
    {"monitoring_stop", 103, EventLevel::Information},
    {"restart", 200, EventLevel::Warning},
    {"start_failed", 300, EventLevel::Error},
    {"hang_seen", 201, EventLevel::Warning},
    {"hang_recovered", 104, EventLevel::Information},
    {"hang_kill", 202, EventLevel::Warning},
    {"kill_refused", 301, EventLevel::Error},
    {"end_pending", 203, EventLevel::Warning},
    {"probe_refused", 204, EventLevel::Warning},
    {"error_window_closed", 205, EventLevel::Warning},
    {"crash", 206, EventLevel::Warning},
    {"backoff_begin", 207, EventLevel::Warning},
    {"backoff_end", 208, EventLevel::Warning},
    {"health_failure", 209, EventLevel::Warning},
    {"health_recovery", 105, EventLevel::Information},
    {"daily_reboot", 106, EventLevel::Information},
    {"reboot_refused", 302, EventLevel::Error},
    {"scheduled_close", 107, EventLevel::Information},
    {"scheduled_start", 108, EventLevel::Information},
    {"schedule_missed", 109, EventLevel::Information},
    {"write_failed", 303, EventLevel::Error},
    {"setting_invalid", 304, EventLevel::Error},
};

} // namespace

const EventKindInfo& KindInfo(EventKind kind)
{
    int i = static_cast<int>(kind);
    return kKinds[i >= 0 && i < kEventKindCount ? i : 0];
}

} // namespace tw
