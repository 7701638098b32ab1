// The table of monitored programs: one record per program the user picked,
// its position equal to its entry number in config.xml minus one.
//
// Thread rule. The table lock (TableLock) guards the array, g_programCount
// and every record field. The user interface thread adds, removes and clears
// records (only while monitoring is off) and writes the settings fields; a
// monitor thread writes the run-time fields of its own record; an exit
// watcher writes the row colour and process handle of its record. Every
// write happens under the lock, and strings are swapped in only when the
// writer holds them alone. Readers on another thread take copies of their own
// under the lock (CopyProgram, CopyProgramText), so no string record is ever
// shared between threads and no reference count is touched by two threads.
#pragma once

#include "core/array.h"
#include "core/handle.h"
#include "core/str.h"
#include "monitor/health_state.h"

#include <windows.h>

#include <atomic>

namespace tw {

constexpr COLORREF kRowRed = 0x0000FF;   // not running or not attached
constexpr COLORREF kRowBlack = 0x000000; // running

// A delayed kill of a hung window, armed by the program's monitor thread,
// which carries it out itself when the grace is over: the window seen hung
// and the moment (GetTickCount64) of the end of its grace; 0 when none is
// armed.
struct HangTimerRecord {
    HWND window;
    ULONGLONG dueTick;
};

// Shared by an exit watcher and the record it watches; whoever lets go last
// frees it. cancelled = 1 keeps the watcher from marking the record.
struct ExitWatchLink {
    volatile LONG references;
    volatile LONG cancelled;
};

// How a program is brought back, as the user sets it per program (keys
// stabletime, backoffmax, keepplacement, memorylimit, memorycycles).
struct RecoverySettings {
    // A run shorter than this makes the next restart wait; 0: never.
    DWORD stableSeconds;
    // The longest wait between restarts; below one period means one period.
    DWORD backoffCapSeconds;
    // Keep the main window's placement and put a new window back there.
    bool keepPlacement;
    // Private memory in MB above which the program is closed; 0: no limit.
    DWORD memoryLimitMb;
    // Cycles in a row above the limit before the close; below 1 means 3.
    DWORD memoryCycles;
};

// A program added from now on; an entry loaded without the keys keeps its
// window where the program puts it (keepPlacement false).
constexpr RecoverySettings kNewProgramRecovery = {60, 300, true, 0, 3};
constexpr RecoverySettings kLoadedProgramRecovery = {60, 300, false, 0, 3};
// What the keys may hold; larger values read as these.
constexpr DWORD kLongestSeconds = 86400;
constexpr DWORD kLargestLimitMb = 1048576;
constexpr DWORD kMostCycles = 1000;
// Cycles that may try to put a new window back before it is taken as it is.
constexpr DWORD kPutBackAttempts = 3;

// A main window's placement as kept: maximised or normal, and the rectangle
// of its normal state in workspace coordinates (as GetWindowPlacement gives
// them); the rectangle names the monitor too.
struct WindowPlace {
    bool known;
    bool maximised;
    RECT normal;
};

// This run of Tollwick's counts for one program, for the metrics file: every
// start Tollwick made (a restart, whether or not the backoff logged it), hung
// instances killed, error windows closed, crashes held by the crash reporter
// and ended, and per health check the times it closed the program. Counts
// start from 0 with each run of Tollwick.
enum class ProgramCounter : unsigned char { Restart, HangKill, ErrorWindowClosed, Crash, HealthFailure };

struct ProgramCounts {
    unsigned long long restarts;
    unsigned long long hangKills;
    unsigned long long errorWindowsClosed;
    unsigned long long crashes;
    unsigned long long healthFailures[kCheckCount];
    // When the last instance Tollwick started began (seconds since 1970,
    // UTC); 0: none this run.
    long long lastStartSeconds;
};

struct CMonitorItem {
    HWND window;
    CStrW title;
    CStrW className;
    CStrW path; // the program's identity
    CStrW name;
    CStrW errflag;
    DWORD processId;
    HangTimerRecord pendingHangTimer;
    HANDLE exitWatcherThread;
    HANDLE monitorThread;
    COLORREF rowColour;
    ExitWatchLink* cancelFlag;
    CStrW command;
    DWORD messageValue;
    CStrW parameters;
    LRESULT subroutineAddress;
    // Set by the exit watcher to run the monitor thread's cycle at once.
    HANDLE wakeEvent;
    // GetTickCount64 of the last launch, until the run it began has been
    // counted by the backoff (then 0, as for an instance found running).
    ULONGLONG lastStartTick;
    // Whether the instance's window has answered a hang probe since it was
    // started: until then it may still be starting up.
    bool answered;
    // The error of the last failed start, 0 once a start succeeded: the
    // same failure again is not logged again.
    DWORD lastStartError;
    RecoverySettings recovery;
    // GetTickCount64 when the current instance ended, as its exit watcher
    // learnt it; 0 while it runs or when unknown.
    ULONGLONG exitTick;
    // Runs in a row shorter than the stable time (the backoff's step), the
    // restart held back until restartDueTick (0: none) after a wait of
    // restartWaitMs, and the starts made since the backoff began.
    DWORD shortRuns;
    ULONGLONG restartDueTick;
    ULONGLONG restartWaitMs;
    DWORD backoffStarts;
    // The placement kept for the main window, and how many more times a new
    // instance's window may be put back there before it is taken as it is
    // (0: nothing to put back).
    WindowPlace place;
    DWORD placeAttempts;
    // GetTickCount64 when the window was last put back: the requests go
    // without waiting, and are given time to land before the next look.
    ULONGLONG placeTick;
    // The instance was ended but has not gone yet (a process inside a
    // driver call ends when the call returns): nothing is started meanwhile.
    bool ending;
    // The instance's window refused the hang probe (a program that runs
    // elevated may refuse a normal user's messages): said once in the log,
    // and only its running is watched.
    bool probeRefused;
    // The health checks' settings and, per check, its state.
    HealthSettings health;
    CheckRecord checks[kCheckCount];
    // The path in full with long names, found once outside the lock when the
    // record was added, so that comparing paths and claiming the executable
    // touch no disk; empty when the file was not there then.
    CStrW longPath;
    ProgramCounts counts;
};

// A reader's own copy of a record's shown facts.
struct ProgramView {
    HWND window = nullptr;
    DWORD processId = 0;
    COLORREF rowColour = kRowRed;
    CStrW title;
    CStrW className;
    CStrW path;
    CStrW name;
    CStrW errflag;
    CStrW command;
    CStrW parameters;
    DWORD messageValue = 0;
    LRESULT subroutineAddress = 0;
    RecoverySettings recovery = kLoadedProgramRecovery;
    WindowPlace place = {};
    // The backoff: steps in a row and the wait of a restart held back now
    // (0: none is held back).
    DWORD shortRuns = 0;
    ULONGLONG heldWaitMs = 0;
    bool ending = false;
    HealthSettings health = DefaultHealth();
    CheckRecord checks[kCheckCount] = {};
    CStrW longPath;
    ProgramCounts counts = {};
    // GetTickCount64 when a held restart is due; 0: none.
    ULONGLONG restartDueTick = 0;
};

extern CArray<CMonitorItem> g_monitorList;
extern std::atomic<size_t> g_programCount;

CCriticalSection& TableLock();

// Start-up: builds the table from the program entries of the configuration
// and attaches each to a running instance where it can.
void LoadMonitorList();
// Adds a program picked on screen. Refused (false) for an empty path, a null
// window or a path already in the table (ignoring case). Starts its exit
// watcher. Takes the record's strings over.
bool AppendProgram(CMonitorItem& record);
// Removes record index and its configuration entry; its watcher no longer
// marks anything. Only while monitoring is off.
void RemoveProgram(size_t index);
// Removes every record and every program entry of the configuration.
void ClearPrograms();
// Writes record index into configuration entry index + 1.
void SaveMonitorList(size_t index);

bool CopyProgram(size_t index, ProgramView* view);
CStrW CopyProgramText(size_t index, CStrW CMonitorItem::*field);
DWORD ProgramProcessId(size_t index);
COLORREF ProgramRowColour(size_t index);
// Appends the process ids of every record's current instance but record
// except's.
void CopyInstanceIds(size_t except, CArray<DWORD>* ids);

// Run-time writers, each under the table lock. Those that a monitor thread
// calls write nothing once its monitoring run has stopped.
// False when nothing was written: then the caller must not count on it (a
// process it started for the record is its own to end).
bool SetProgramAttachment(size_t index, DWORD processId, HWND window);
void SetProgramWindowFacts(size_t index, CStrW& title, CStrW& className);
void SetProgramRowColour(size_t index, COLORREF colour);
void SetProgramSubroutine(size_t index, LRESULT result);
// Times a new run (0: none, a start that failed): clears what the last run
// left (its exit, a held restart, the checks' counts) and marks its window to
// be put back. A new run also lets go of the old instance's exit watcher.
void SetProgramStartTick(size_t index, ULONGLONG tick);
void SetProgramAnswered(size_t index, bool answered);
// Notes a failed start's error (0: a success); true when it differs from the
// failure noted before, that is, when it is news for the log.
bool NoteStartResult(size_t index, DWORD error);
// The settings fields the user edits; takes the strings over.
void SetProgramSettings(size_t index, CStrW& command, DWORD messageValue, CStrW& parameters);
void SetProgramRecovery(size_t index, const RecoverySettings& recovery);
// recovery with every value within what the keys may hold (memoryCycles
// below 1 is 3).
RecoverySettings RecoveryInRange(RecoverySettings recovery);
// Writes the keys stabletime, backoffmax, keepplacement, memorylimit and
// memorycycles of configuration entry N.
void WriteRecoveryKeys(size_t entry, const RecoverySettings& recovery);
// Takes the strings of health over.
void SetProgramHealth(size_t index, HealthSettings& health);
// Writes the health keys of configuration entry N (see HealthSettings).
void WriteHealthKeys(size_t entry, const HealthSettings& health);
// Writes every kept window placement into its configuration entry (key
// placement). User interface thread, as every use of the configuration.
void StoreWindowPlaces();

// Ends the record's process, if it still runs the record's executable, and
// waits a few seconds for its end. False when that process is still there.
// Not for the window's thread.
bool KillProgramProcess(size_t index);
void SetProgramEnding(size_t index, bool ending);
// Counts one more of counter for record index (check: the health check, for
// HealthFailure); a start also notes its time. Nothing once the run stopped.
void CountProgramEvent(size_t index, ProgramCounter counter, int check = -1);
// Attaches record index to its process processId (window, exit watcher, row
// colour), as found running rather than started. False when nothing was
// written (a stopped run's thread).
bool AttachRunningInstance(size_t index, DWORD processId, HWND window);

} // namespace tw
