// The timed close of every program. Each program is asked to close at once,
// and a worker thread gives them all together up to the hang grace to do so
// (a program that saves its work when asked to close has the time to),
// then ends those still running and tells the main window. The window's
// thread only takes the snapshot and is never held by the waiting.
#pragma once

#include <windows.h>

namespace tw {

// Window thread. Takes a snapshot of every program with a process, marks
// each run as ended on purpose (no short run for the backoff), and starts
// the worker, which owns the snapshot: it posts WM_CLOSE to each program's
// window that still belongs to the program's process, waits for all of
// them for at most graceMs, ends those still running, waits a little for
// them to go and then posts WM_TW_PROGRAMS_CLOSED to notify. The message
// comes on every path, also when there was nothing to close. Only a process
// that runs the program's executable is asked or ended (ids are reused).
void CloseProgramsInTime(HWND notify, DWORD graceMs);

// Waits until every one of count handles is signalled, however many there
// are, for at most timeoutMs in all; true when all of them are.
bool WaitForAllHandles(const HANDLE* handles, size_t count, DWORD timeoutMs);

} // namespace tw
