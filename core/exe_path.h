// The running executable's own path and folder.
#pragma once

#include "core/str.h"

namespace tw {

// Full path of this process's executable; null if the system cannot say.
CStrW ExecutablePath();
// The path up to and including its last '\'; null when it has none.
CStrW DirectoryOf(const CStrW& path);

} // namespace tw
