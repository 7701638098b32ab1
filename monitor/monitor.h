// Monitoring as a whole: one monitor thread per program runs the running
// check, the error-dialog checks and the hang check once per period, and
// ends a hung window's process itself once its grace time is over. The
// threads never wait on the window's thread: what the window shows of them
// is posted to it.
#pragma once

#include "core/handle.h"

#include <windows.h>

#include <atomic>

namespace tw {

// 1 while monitoring is on. Written by the user interface thread only.
extern std::atomic<LONG> g_monitoring;
// The period and the hang grace, fixed when monitoring starts.
extern size_t g_periodMs;
extern DWORD g_hangGraceMs;

// Counters for measuring the engine (benchmarks, diagnostics).
struct MonitorStats {
    std::atomic<unsigned long long> wakeups{0};
    std::atomic<unsigned long long> cycles{0};
    std::atomic<unsigned long long> longestCycleMs{0};
};
extern MonitorStats g_monitorStats;

// The steps of a restart, from the end of a program's process to its new
// instance's log line. Each is stamped (QueryPerformanceCounter) as a thread
// passes it, so the latest restart can be taken apart; with several programs
// restarting at once the stamps mix.
enum class RestartStep {
    ExitSeen,       // the exit watcher saw the process end
    ThreadAwake,    // its monitor thread woke for it
    RunningChecked, // and found the program not running
    BackoffDecided, // the backoff let the restart go
    HintPosted,     // the hint line was told
    InstanceEnded,  // what was left of the old instance was ended
    Claimed,        // the executable was claimed and no running copy found
    ProcessCreated, // CreateProcessW returned
    WindowFound,    // the new instance's main window was looked for
    Logged,         // the restart's log line was written
    Count
};
extern std::atomic<long long> g_restartMoments[static_cast<int>(RestartStep::Count)];
void NoteRestartStep(RestartStep step);

// The period from monitortime and the grace from unresponsetime (seconds):
// values below 1 are read as 5, so nothing ever spins, and values above a
// day as a day, so no product of times can wrap.
constexpr long long kLongestSettingSeconds = 86400;
size_t PeriodFromSetting(long long seconds);
DWORD GraceFromSetting(long long seconds);

// Monitoring as a whole, on the user interface thread. The start fixes the
// period and grace from the configuration, writes every program's record
// into its configuration entry, starts its thread and saves config.xml; the
// end stops every thread and cancels pending kills without a word. It
// dispatches no messages and takes well under a second: a thread that has
// not ended by then (inside a slow start, say) is left to finish on its own,
// acts no more, and the program gets a fresh thread at the next start.
void StartMonitoringAll();
void EndMonitoring();
// The start's parts: Begin fixes the period and grace and sets the flag.
void BeginMonitoring();
bool StartMonitorThread(size_t index);

// What a monitor thread keeps between its cycles: about its program's
// current instance, a handle to wait on and whether the process behind it
// runs the recorded executable; and the hint it last wrote. The path is
// read once per instance, not once per period: while the handle is open the
// id cannot be reused. Owned by the thread, which closes the handle.
struct InstanceWatch {
    bool looked = false;
    DWORD processId = 0;
    CHandle process;
    bool runsPath = false;
    bool nothingToStart = false; // the entry has no path
    // The hint this thread last posted, and to which window: every thread
    // ends its cycle with the same one, so an unchanged hint is not posted
    // again.
    WPARAM hintPosted = 0;
    HWND hintPostedTo = nullptr;
};

// The checks, as a monitor thread runs them for its program. CheckRunning
// returns 1 when the program was not running (it was started, or its
// restart is held back), 0 when it runs or the running check is off.
int CheckRunning(size_t index, InstanceWatch& watch);
void CheckErrorDialog(size_t index);
void CheckErrorWindow(size_t index);
void CheckHang(size_t index);
// Ends the instance whose delayed kill is due (and logs it), or logs that it
// recovered; GetTickCount64 when the kill is due, 0 when none is armed.
void FinishDueHangKill(size_t index);
ULONGLONG HangKillDueTick(size_t index);

// What a probe of a window came to. Only a time-out means hung; a refused
// probe (on Windows, an elevated program's window may refuse a normal user's
// messages) means nothing about the program's health.
enum class ProbeResult { Answered, Hung, Refused, Gone };
ProbeResult ProbeWindow(HWND window);
// For tests: null in the program; the probe then asks the window itself.
extern ProbeResult (*g_probeSeam)(HWND window);

// How long an instance that has not yet answered since its start may look
// hung before it counts as hung: several graces, at least 30 s.
ULONGLONG StartupAllowanceMs();
// Cancels every pending delayed kill without a log entry, and every wait for
// an ended instance to go.
void CancelPendingKills();

// The message text of a message box: its static text, not an icon or button.
HWND FindMessageBoxText(HWND dialog);

// Engine messages the main window's procedure passes on; true when handled.
bool HandleEngineMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

} // namespace tw
