// The uninstaller's /unregister start: takes out of the system what Tollwick
// put there for the current user, without showing a window.
#pragma once

#include "app/start_options.h"

namespace tw {

// The exit code of the /unregister start.
int RunUnregister(const StartOptions& options);

} // namespace tw
