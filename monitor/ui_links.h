// The main-window handles the engine talks to. The user interface sets them
// when it builds its window; while they are null the engine leaves the
// screen alone. Handles are only read by other threads, never changed while
// monitoring runs.
#pragma once

#include <windows.h>

namespace tw {

extern HWND g_mainWindow;
// The owner-data list of monitored programs (its rows are drawn from the table).
extern HWND g_programListView;

// Control ids on the main window that the engine reads and writes.
constexpr int kIdWatchRunningCheck = 10101;
constexpr int kIdHintLine = 10202;

// Asks the program list to repaint its rows (any thread).
void RepaintProgramList();
// Tells the main window that a record's shown facts changed (any thread).
void NotifyProgramsChanged();
// Sets the owner-data list's item count without repainting every row.
void SetListItemCount(HWND list, size_t count);

} // namespace tw
