// What each program's record keeps of its health checks: the settings the
// user gives (per program, all off by default) and, per check, its last
// verdict and the count of failures in a row. The checks themselves and
// their table are in health_check.h.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// The checks, in the order the cycle runs them; one row each in the table.
enum HealthCheckId { kCheckMemory, kCheckHeartbeat, kCheckEndpoint, kCheckCpu, kCheckCount };

enum class Verdict : unsigned char { Unknown, Pass, Fail };

// A check's reading: the figure it judged by, and what kind of figure it is
// (each check names its own kinds, 0 being its plain figure).
struct CheckReading {
    ULONGLONG value;
    DWORD kind;
};

// One check's state for the program, under the table lock.
struct CheckRecord {
    Verdict verdict;
    CheckReading reading;
    // Failures in a row of the current instance.
    DWORD failures;
    // The check closed the program; its next pass is logged as the recovery.
    bool acted;
};

// Keys heartbeatfile, heartbeattime, healthurl, cpulimit, cpucycles,
// healthgrace and healthcycles. The memory ceiling keeps its own keys in
// RecoverySettings.
struct HealthSettings {
    // A file the program writes while it is well (%VAR% expanded; a relative
    // path is taken from the program's folder); empty: no heartbeat check.
    CStrW heartbeatFile;
    // The oldest last-write time the file may show, in seconds.
    DWORD heartbeatSeconds;
    // http://..., https://... or tcp://host:port; empty: no such check.
    CStrW healthUrl;
    // Percent of one core; 0: no CPU check.
    DWORD cpuLimitPercent;
    // Periods in a row above the CPU limit before the program is closed.
    DWORD cpuCycles;
    // No verdict before the instance has run this long, in seconds.
    DWORD graceSeconds;
    // Failures in a row before the program is closed (heartbeat, address).
    DWORD failureCycles;
};

constexpr DWORD kDefaultHeartbeatSeconds = 60;
constexpr DWORD kDefaultCpuCycles = 6;
constexpr DWORD kDefaultHealthGraceSeconds = 60;
constexpr DWORD kDefaultHealthCycles = 3;
constexpr DWORD kMostCpuPercent = 6400;

// Settings with every value within what the keys may hold: cycles below 1
// and a heartbeat time of 0 read as their defaults.
HealthSettings HealthInRange(HealthSettings settings);
// The settings of a program added from now on, or loaded without the keys.
HealthSettings DefaultHealth();

// The check's name for the outputs of a fleet (the metrics' label check and
// the webhook's field): "memory", "heartbeat", "endpoint", "cpu".
inline const char* HealthCheckKey(int id)
{
    static const char* const keys[kCheckCount] = {"memory", "heartbeat", "endpoint", "cpu"};
    return id >= 0 && id < kCheckCount ? keys[id] : "";
}

} // namespace tw
