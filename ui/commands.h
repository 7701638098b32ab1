// The command handlers of the main window's pages and popup menus, and the
// details text of the "监控窗口" page. User interface thread only.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// The one router of WM_COMMAND, for the main window and its pages: menus and
// accelerators (code 0 or 1 without a control) to OnMenuCommand, control
// notifications to OnPageCommand. True when handled.
bool RouteCommand(WPARAM wParam, LPARAM lParam);
// A control notification; 1 when handled, 0 to pass the message on.
int OnPageCommand(HWND control, UINT code, int id);
// A menu or accelerator command; 1 for a command id of ours.
int OnMenuCommand(int id);
// Rebuilds the details text of every program; the edit is only rewritten
// when the text changed, so a steady table does not flicker.
void RefreshInfoPanel();
// The details text itself, as the edit shows it.
CStrW BuildInfoPanelText();

} // namespace tw
