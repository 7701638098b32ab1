// The program itself: the entry point's work, the main window and its
// notification-area icon.
#pragma once

#include "app/start_options.h"
#include "core/str.h"

#include <windows.h>

namespace tw {

extern HINSTANCE g_instance;
extern CStrW g_exePath;
// g_exePath up to and including its last '\'.
extern CStrW g_exeDirectory;
// The class of the main window, by which another start finds it.
extern const wchar_t kMainWindowClass[];
// The first Tollwick main window (of any process) whose process id accept
// takes, or null: what a second start and the guardian look for.
template <typename Accept> HWND FindMainWindow(Accept accept)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, kMainWindowClass, nullptr); window;
         window = FindWindowExW(nullptr, window, kMainWindowClass, nullptr)) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        if (accept(processId))
            return window;
    }
    return nullptr;
}

// Registers and creates the main window (its WM_CREATE runs the start-up
// sequence), adds the icon and shows it. False when no window was made.
bool CreateMainWindow(int showCommand);
// Runs the role the start asks for. The watchdog itself: unless another
// Tollwick of this folder runs already, opens the configuration, runs the
// window until it closes, saves.
int RunTollwick(HINSTANCE instance, int showCommand, const StartOptions& options);

} // namespace tw
