// One Tollwick per folder: two of them on one config.xml would each save
// over the other's settings and start every watched program twice. Copies in
// other folders are other watchdogs and run side by side.
#pragma once

#include "core/handle.h"
#include "core/str.h"

namespace tw {

// "Local\Tollwick-" and 16 hex digits of a hash of the executable's folder
// (full path, long names, upper case): a kernel object name cannot hold '\',
// and every form of one folder gives the same name.
CStrW FolderMutexName(const CStrW& exePath);
// Creates the folder's mutex in this session and keeps it open in *mutex for
// the run. False when another Tollwick of the folder holds it already; true
// also when the mutex cannot be made at all, so that a watchdog never stays
// down for want of a lock.
bool TakeFolderMutex(const CStrW& exePath, CHandle* mutex);
// Shows the main window of the other Tollwick of this folder, from the
// notification area or minimised too, and brings it to the front. Waits up
// to timeoutMs for the window, which a Tollwick that is still starting may
// not have yet. False when none came.
bool ShowRunningTollwick(const CStrW& exeDirectory, DWORD timeoutMs);

} // namespace tw
