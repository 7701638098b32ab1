// The health checks: each a row of one table, run by the program's monitor
// thread once per cycle while the program runs. A row gives its settings'
// test, its probe (pass, fail or not yet known), the failures in a row it
// takes before it acts, whether a start grace holds its verdict back, and its
// texts. Every row acts the same way: the program is asked to close and is
// ended when the hang grace passes without it going; the running check then
// starts it again. The hang, running and error-dialog checks stay apart.
#pragma once

#include "core/str.h"
#include "monitor/health_state.h"
#include "monitor/program_table.h"

#include <windows.h>

namespace tw {

// What a check may read of its program, copied under the table lock.
struct CheckInput {
    size_t index;
    DWORD processId;
    HWND window;
    CStrW name;
    CStrW path;
    RecoverySettings recovery;
    HealthSettings health;
    // The monitoring period; a network probe gives up within it.
    DWORD periodMs;
};

struct EndpointProbe;
// Lets go of the monitor thread's hold on a probe; the probe's own thread
// frees it if it is still at work.
void ReleaseEndpointProbe(EndpointProbe* probe);

// The monitor thread's own working state for the checks of its program,
// never shared: the instance the checks look at and since when, the CPU
// check's last sample and a network probe in flight.
struct HealthWork {
    DWORD processId = 0;
    ULONGLONG seenTick = 0;
    ULONGLONG cpuBusy = 0;
    ULONGLONG cpuTick = 0;
    EndpointProbe* endpoint = nullptr;
    ULONGLONG endpointStartTick = 0;

    HealthWork() = default;
    HealthWork(const HealthWork&) = delete;
    HealthWork& operator=(const HealthWork&) = delete;
    ~HealthWork();
};

struct HealthCheck {
    // Its name on the info page ("内存上限").
    const wchar_t* name;
    bool (*enabled)(const CheckInput& input);
    // Failures in a row before the program is closed.
    DWORD (*cyclesToAct)(const CheckInput& input);
    // No verdict within the start grace (healthgrace) of an instance.
    bool graced;
    Verdict (*probe)(const CheckInput& input, HealthWork& work, CheckReading* reading);
    // The log line of the close, and of the first pass after it.
    void (*failureLine)(const CheckInput& input, const CheckReading& reading, DWORD cycles, CStrW* line);
    void (*recoveryLine)(const CheckInput& input, CStrW* line);
    // What a failure reads, for the row and the info page ("心跳文件 75 秒未更新").
    void (*failureText)(const HealthSettings& health, const RecoverySettings& recovery, const CheckReading& reading,
                        CStrW* text);
};

extern const HealthCheck kMemoryCheck;
extern const HealthCheck kHeartbeatCheck;
extern const HealthCheck kEndpointCheck;
extern const HealthCheck kCpuCheck;

// The table, in HealthCheckId order.
const HealthCheck& HealthCheckRow(int id);

// Runs the table for record index, once per cycle of its monitor thread.
void RunHealthChecks(size_t index, HealthWork& work);

// The text of the first failing check ("" when none fails), shown in place
// of the window's title as a held restart is.
CStrW FailingCheckText(const ProgramView& view);
// One line per enabled check with its last verdict, for the info page.
CStrW CheckLines(const ProgramView& view);

// Reads the processor time (kernel and user, in 100 ns units) that a process
// has used. Null in the product; a test sets it where the system's reading
// of another process is wrong (Wine gives the caller's own times).
extern bool (*g_cpuTimesSeam)(DWORD processId, ULONGLONG* busy);

} // namespace tw
