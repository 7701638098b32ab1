// Everything inside the main window: the picker box, the status labels, the
// two monitoring check boxes, the tab control with its five pages, and the
// three popup menus. User interface thread only.
#pragma once

#include "ui/commands.h"
#include "ui/ids.h"
#include "ui/window.h"

#include <windows.h>

namespace tw {

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
