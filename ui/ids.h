// The main window's ids in one place: its controls and pages, its menu
// commands, its timers and the codes of the commands it sends itself. (The
// settings dialog's ids are the resource script's, in res/resource_ids.h;
// the private window messages are in core/app_messages.h.)
#pragma once

#include <windows.h>

namespace tw {

// Control ids of the main window and its pages.
enum ControlId : int {
    kIdPicker = 10000,
    kIdTab = 10001,
    kIdSettingsPanel = 10002,
    kIdMoreSettings = 10003,
    kIdProgramList = 10004,
    kIdErrorList = 10005,
    kIdStartMonitoring = 10100,
    kIdWatchRunning = 10101,
    kIdCloseApp = 10102,
    kIdAutoStartMonitor = 10103,
    kIdBootStart = 10104,
    kIdAutoReboot = 10105,
    kIdHideTray = 10106,
    kIdSelfGuard = 10107,
    kIdStatus = 10200,
    kIdUptime = 10201,
    kIdHint = 10202,
    kIdInfoPanel = 10300,
    kIdTimingText = 10301,
    kIdRebootHours = 10302,
    kIdRebootMinutes = 10303,
    kIdRebootSeconds = 10304,
};

// Menu command ids.
enum MenuCommand : int {
    kCmdExportLog = 10400,
    kCmdOpenLogFolder = 10401,
    kCmdMarkWindow = 10420,
    kCmdDeleteOne = 10422,
    kCmdDeleteAll = 10423,
    kCmdShowMain = 10440,
    kCmdQuit = 10441,
};

enum PopupMenu : int { kMenuErrorList = 0, kMenuProgramList = 1, kMenuTray = 2 };

// Timers of the main window.
constexpr UINT_PTR kTimerClock = 107;
constexpr UINT_PTR kTimerScheduledRun = 108;
constexpr UINT_PTR kTimerPicker = 20000;
constexpr UINT_PTR kTimerHighlight = 20001;

// The notification code of a WM_COMMAND 10100 that no user clicked (start-up,
// the scheduler, a cancelled end of session): a missing executable then
// shows no box; it is logged, stays red and is tried again each period.
constexpr WORD kNotifyUnattended = 0x7A01;

// Both parameters of the WM_CLOSE posted before the daily restart: it closes
// without asking.
constexpr WPARAM kRestartCloseMarker = 0x52424F54;

} // namespace tw
