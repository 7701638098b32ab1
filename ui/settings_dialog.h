// The advanced settings dialog "高级配置" (template IDD_SETTINGS): the period,
// the hang grace, the schedules, and each program's command line, message
// value and parameters. Closing it stores every field and saves config.xml.
// Window thread only.
#pragma once

#include <windows.h>

namespace tw {

// The dialog procedure.
INT_PTR CALLBACK CSettingsDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Opens the dialog modally, owned by the main window.
void OpenSettingsDialog();

} // namespace tw
