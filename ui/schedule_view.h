// Where the scheduler's decisions take effect: the clock and run-check
// timers of the main window, what a tick shows and does there, and what a
// change of the settings dialog's schedule controls does to the dialog.
// User interface thread only.
#pragma once

#include "schedule/scheduler.h"

#include <windows.h>

namespace tw {

// The one-second clock, while monitoring runs.
void StartClock();
// The one-second run check, when a run is armed in the configuration.
void StartRunCheckIfArmed();
// Sends WM_COMMAND 10100 to the main window as no user click does, with the
// monitoring flag preset: 1 stops, 0 starts.
void SendMonitoringCommand(LONG preset);

// Whether the system accepted a daily restart of the computer in this run.
bool RestartRequested();

// Carries out what a tick decided. clock: a tick of the clock, whose texts
// go to the uptime label, the countdown page and the title.
// While the main window is hidden or minimised nothing is drawn.
void ApplyTick(const TickOutcome& outcome, bool clock);
// A timed close's worker is done (WM_TW_PROGRAMS_CLOSED): a timed run that
// fell due while the close was under way is carried out now.
void OnProgramsClosed();
// Draws the clock's latest texts that the window does not show yet (when it
// is shown or restored).
void ShowClockTexts();

// The dialog's schedule controls, and what the scheduler decided of them.
ScheduleForm ScheduleFormOf(HWND dialog);
void ApplyFormOutcome(HWND dialog, const FormOutcome& outcome);

} // namespace tw
