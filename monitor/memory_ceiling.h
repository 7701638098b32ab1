// A memory ceiling per program. Each cycle the monitor thread reads the
// private memory of the program's process; one that stays above its limit
// for the set number of cycles in a row is closed as a timed close closes
// it (WM_CLOSE, then the kill when the hang grace has passed without it
// ending), with a log line that names the figure, and the next cycle starts
// it again.
#pragma once

#include <windows.h>

namespace tw {

// Private bytes of the process (PrivateUsage); 0 when it cannot be read.
// Wine reports PrivateUsage as 0 and keeps the process's resident private
// memory in PagefileUsage, which stands in for it there.
ULONGLONG ProcessPrivateBytes(DWORD processId);

// The monitor thread's check for a running program, once per cycle.
void CheckMemoryCeiling(size_t index);

} // namespace tw
