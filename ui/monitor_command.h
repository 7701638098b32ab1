// The start/stop command of monitoring: the handler of the check box
// "开始监控程序" (10100), also reached by sending WM_COMMAND 10100 to the main
// window with g_monitoring preset (1 makes it stop, 0 makes it start).
#pragma once

#include <windows.h>

namespace tw {

// Timers of the main window.
constexpr UINT_PTR kTimerClock = 107;
constexpr UINT_PTR kTimerScheduledRun = 108;
constexpr UINT_PTR kTimerPicker = 20000;
constexpr UINT_PTR kTimerHighlight = 20001;

// Kills the highlight, picker and clock timers and hides the overlay.
void StopPickerClockAndHighlight();

// The notification code of a WM_COMMAND 10100 that no user clicked (start-up,
// the scheduler, a cancelled end of session): a missing executable then
// shows no box; it is logged, stays red and is tried again each period.
constexpr WORD kNotifyUnattended = 0x7A01;

void ToggleMonitoring(HWND box, bool unattended = false);
// True while the command runs (it may wait at one of its message boxes).
bool MonitoringCommandRunning();
// Stops monitoring without any question (the session is ending).
void StopMonitoringNow();

} // namespace tw
