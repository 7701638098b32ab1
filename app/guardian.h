// The guard role: a second Tollwick process, started with /guard, that
// watches the main one and restarts it after a crash or a hang.
#pragma once

#include "app/start_options.h"

namespace tw {

// Runs the guard role until the guarded Tollwick quits; the exit code.
int RunGuardian(const StartOptions& options);

} // namespace tw
