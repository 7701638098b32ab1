// The program's private window messages, all in one place.
#pragma once

#include <windows.h>

namespace tw {

// Posted to the main window when a record's shown facts changed on another
// thread (a restart); the window rebuilds its info panel.
constexpr UINT WM_TW_PROGRAMS_CHANGED = WM_APP + 1;
// Sent by a monitor thread that saw a hung window: wParam is the
// HangTimerRecord whose grace timer the main window arms (window timers
// belong to the window's own thread).
constexpr UINT WM_TW_ARM_HANG_TIMER = WM_APP + 2;
// Posted to the main window by the worker of a timed close once every
// program has closed or been ended.
constexpr UINT WM_TW_PROGRAMS_CLOSED = WM_APP + 5;

// The notification-area icon's callback message.
constexpr UINT kTrayCallbackMessage = 0x2DA5;

} // namespace tw
