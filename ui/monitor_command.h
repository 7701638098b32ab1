// The start/stop command of monitoring: the handler of the check box
// "开始监控程序" (10100), also reached by sending WM_COMMAND 10100 to the main
// window with g_monitoring preset (1 makes it stop, 0 makes it start).
#pragma once

#include "ui/ids.h"

#include <windows.h>

namespace tw {

// Kills the highlight, picker and clock timers and hides the overlay.
void StopPickerClockAndHighlight();

void ToggleMonitoring(HWND box, bool unattended = false);
// True while the command runs (it may wait at one of its message boxes).
bool MonitoringCommandRunning();
// Stops monitoring without any question (the session is ending).
void StopMonitoringNow();

} // namespace tw
