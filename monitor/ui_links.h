// The windows the engine talks to. The user interface sets them when it
// builds its main window; while they are null the engine leaves the screen
// alone. Handles are only read by other threads, never changed while
// monitoring runs.
#pragma once

#include <windows.h>

#include <atomic>

namespace tw {

// Receives the engine's messages (core/app_messages.h) and carries the
// delayed-kill timers, which belong to a window's own thread.
extern HWND g_engineWindow;
// The owner-data list of monitored programs (its rows are drawn from the table).
extern HWND g_programListView;
// The state of the check box "监视运行状态", which the user interface mirrors
// here whenever the box changes: unticked, the running check is off. Without
// a box (tools, benchmarks) it stays on.
extern std::atomic<bool> g_watchRunning;
// The hint line the monitor threads write to.
extern HWND g_hintLine;

// Asks the program list to repaint its rows (any thread).
void RepaintProgramList();
// Tells the main window that a record's shown facts changed (any thread).
void NotifyProgramsChanged();
// Sets the owner-data list's item count without repainting every row.
void SetListItemCount(HWND list, size_t count);

} // namespace tw
