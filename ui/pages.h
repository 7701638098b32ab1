// Everything inside the main window: the picker box, the status labels, the
// two monitoring check boxes, the tab control with its five pages, and the
// three popup menus. User interface thread only.
#pragma once

#include "ui/commands.h"
#include "ui/window.h"

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
    kCmdMarkWindow = 10420,
    kCmdDeleteOne = 10422,
    kCmdDeleteAll = 10423,
    kCmdShowMain = 10440,
    kCmdQuit = 10441,
};

enum PopupMenu : int { kMenuErrorList = 0, kMenuProgramList = 1, kMenuTray = 2 };

// The two list wrappers; their handles are what list messages go to.
extern CListView g_programList;
extern CListView g_errorList;
extern HMENU g_popupMenus[3];
extern HCURSOR g_finderCursor;

// Builds every control of the main window (called from its WM_CREATE).
void BuildMainControls(HWND mainWindow);
void BuildPages(HWND tab);
// Opens popup menu index at the cursor, owned by the main window.
void ShowPopupMenu(int index);
// The settings panel inside the tab control of the main window.
HWND SettingsPanel();
// The page window of tab item index, from the item's parameter.
HWND TabPage(HWND tab, int index);
// Hides the selected tab's page, selects index and shows its page.
void SelectPage(HWND tab, int index);

} // namespace tw
