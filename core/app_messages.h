// The program's private window messages, all in one place.
#pragma once

#include <windows.h>

namespace tw {

// Posted to the main window when a record's shown facts changed on another
// thread (a restart); the window rebuilds its info panel.
constexpr UINT WM_TW_PROGRAMS_CHANGED = WM_APP + 1;
// Posted by a monitor thread for the hint line: wParam 1 for "not running,
// it will be started", else the number of watched programs plus 2.
constexpr UINT WM_TW_HINT = WM_APP + 3;
// Posted when another thread added to the error log: the error list takes
// its new count.
constexpr UINT WM_TW_LOG_GROWN = WM_APP + 4;
// Posted to the main window by the worker of a timed close once every
// program has closed or been ended.
constexpr UINT WM_TW_PROGRAMS_CLOSED = WM_APP + 5;

// Posted to the main window when the box of the guardian (selfguard) was
// clicked: wParam 1 ticked, 0 cleared.
constexpr UINT WM_TW_SELF_GUARD = WM_APP + 6;

// The notification-area icon's callback message.
constexpr UINT kTrayCallbackMessage = 0x2DA5;

} // namespace tw
