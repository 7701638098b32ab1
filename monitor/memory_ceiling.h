// A memory ceiling per program (keys memorylimit and memorycycles), the
// first row of the health checks: a program whose private memory stays above
// its limit for the set number of cycles in a row is closed and started
// again, with a log line that names the figure. It has no start grace.
#pragma once

#include <windows.h>

namespace tw {

// Private bytes of the process (PrivateUsage); 0 when it cannot be read.
// Wine reports PrivateUsage as 0 and keeps the process's resident private
// memory in PagefileUsage, which stands in for it there.
ULONGLONG ProcessPrivateBytes(DWORD processId);

} // namespace tw
