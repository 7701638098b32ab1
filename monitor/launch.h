// Starting a monitored program again, and watching attached instances end.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// Starts path in its own folder with the command line: the quoted path, one
// space, then command. Returns the new process id, 0 on failure (error gets
// the system's error code then). process, when given, receives the process
// handle (the caller closes it); otherwise it is closed here.
DWORD LaunchExecutable(const CStrW& path, const CStrW& command, HANDLE* process, DWORD* error);

// What the decision on a restart leaves for the start, so that a restart
// walks the process list once and writes no log line before its process is
// created.
struct RestartPrep {
    // The list was walked for a copy (FindClaimableCopy) in this restart,
    // and the copy it found (0: none).
    bool looked = false;
    DWORD copyId = 0;
    // A log line for after the start.
    CStrW afterStart;
};

// A process that runs record index's executable and is no other record's
// instance (the copy a launcher left): its id, 0 when there is none.
DWORD FindClaimableCopy(size_t index);

// The restart of record index: ends what is left of the old instance, starts
// the executable, finds its main window, sends the message value, logs the
// restart and watches the new process. Runs on the program's monitor thread.
// A live process that runs the executable and is no other record's instance
// is attached instead of starting another copy; an old instance that cannot
// be ended is logged (once) and nothing is started beside it. prep, when
// given, is what the restart's decision found.
void StartProgram(size_t index, const RestartPrep* prep = nullptr);
// Logs, once until the next good start, that record index's process could
// not be ended.
void LogSurvivor(size_t index);
// Ends record index's instance, if it still runs the executable, on the
// program's monitor thread: true once it has gone. A process that accepts
// its end but takes long to go is logged once, its row says so, and the
// thread waits for it (or for the stop of monitoring, then false). One whose
// end is refused is logged once (LogSurvivor): false.
bool EndInstance(size_t index);

// Starts the thread that marks record index red when its process ends.
// process may be null: the watcher then opens the record's process id. The
// watcher is tied to the record through the record's cancel flag block, so
// records that move up in the table keep their watcher. The thread is made
// outside the table lock, so the caller had better not hold it. Returns false
// when no watcher could be started (the caller keeps process then).
bool StartExitWatcher(size_t index, HANDLE process);

// For tests and benchmarks: null in the program. Called before each start of
// an executable (to stand for a start from a slow share), and by an exit
// watcher between the end of its process and its note of it.
extern void (*g_launchSeam)();
extern void (*g_exitWatchSeam)();

struct CMonitorItem;
// Lets go of the record's exit watcher: it will mark nothing any more. The
// caller holds the table lock.
void DetachExitWatcher(CMonitorItem& record);

} // namespace tw
