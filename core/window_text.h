// The texts of a window, as the system keeps them. Any thread; a window of
// another thread or process is asked with a sent message, as the system's
// own GetWindowTextW does.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// Empty when window is null or no window.
CStrW GetWindowTextString(HWND window);
CStrW GetWindowClassString(HWND window);

} // namespace tw
