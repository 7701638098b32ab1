// Crash-loop backoff. A run of a program that Tollwick started and that ended
// sooner than the program's stable time makes the next restart wait: one
// period after the first such run, then two, four ... periods, never longer
// than the program's cap. A run that lasts the stable time ends the backoff.
// The log says when a backoff begins and when the program is stable again,
// not every start in between; retries never stop.
//
// Thread rule: the monitor thread of the program calls these for its own
// record; the state lives in the record, under the table lock.
#pragma once

#include "core/str.h"
#include "monitor/launch.h"
#include "monitor/program_table.h"

#include <windows.h>

namespace tw {

// The wait before the restart after shortRuns runs in a row that were too
// short (shortRuns >= 1): periodMs doubled shortRuns - 1 times, at most the
// cap, and never less than one period.
ULONGLONG BackoffWaitMs(DWORD shortRuns, size_t periodMs, DWORD capSeconds);

// For a program found not running: true while its restart is held back. The
// first call after a run ends counts that run and fixes the moment of the
// restart: never sooner than one period after the last start, and after a
// run shorter than the stable time the backoff's wait after its end. A run
// Tollwick did not time (an instance it found running, a start that failed)
// holds nothing back. A launcher's copy that runs in the program's place is
// no short run: it is attached instead. With prep, what the look for such a
// copy found, and the log line of a backoff that ends now, are left for the
// start (StartProgram) instead.
bool RestartHeldBack(size_t index, RestartPrep* prep = nullptr);
// GetTickCount64 of the held restart, 0 when none is held back.
ULONGLONG HeldRestartTick(size_t index);
// For a running program, once per cycle: once it has run the stable time
// since Tollwick started it, its backoff ends with a log line.
void NoteProgramRunning(size_t index);
// For a start that succeeded: true when its log line is due, false while a
// backoff is on (the start is only counted then).
bool NoteRestartMade(size_t index);

// "等待 40 秒后重启 (第 4 次)" while a restart is held back, a text of its own
// while an ended instance has not gone yet, else empty.
CStrW RestartStateText(const ProgramView& view);

} // namespace tw
