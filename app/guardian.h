// The guardian: a second Tollwick process (Tollwick.exe /guard HANDLE) that
// starts Tollwick again when it ends without a clean end, or ends and starts
// it again when its window has not answered for a minute. Tollwick in turn
// starts a new guardian whenever its guardian ends. Each side waits on the
// other's process handle, handed over by inheritance (an id can be reused,
// a handle cannot). The guardian writes no log of its own: it tells the
// Tollwick it starts what happened, and that one logs it.
#pragma once

#include "app/start_options.h"

#include <windows.h>

namespace tw {

// The guardian role, until the guarded Tollwick ends cleanly; its exit code.
int RunGuardian(const StartOptions& options);

// Tollwick's side, once its window exists and while selfguard is on: keeps
// a guardian, adopted (the inherited handle of the one that started it,
// taken over) or, when null, a new one.
void KeepGuardian(HANDLE adopted);
// Lets the guardian go and ends it: at a clean end (after the run state is
// written) and when the user turns selfguard off.
void DismissGuardian();

// How long the main window may go without answering before the guardian
// ends Tollwick and starts it again: far longer than any stop or dialog of
// Tollwick's own may hold the window.
constexpr DWORD kHungWindowMs = 60000;

} // namespace tw
