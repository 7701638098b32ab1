// How this process was started, read from its command line. Windows starts
// it at log-on with /autostart; the scheduled task that brings it back after
// a crash of the whole guard uses /backstop; its guardian restarts it with
// /restarted and runs a copy of it in the guard role with /guard; the
// uninstaller asks it to take its traces out of the system with /unregister.
// A start by a person (a shortcut, Explorer) has no switch.
#pragma once

#include <windows.h>

namespace tw {

enum class StartKind { Person, Autostart, Backstop, ByGuardian, GuardRole, Unregister };

struct StartOptions {
    StartKind kind = StartKind::Person;
    // ByGuardian: the guarded Tollwick hung and was ended, rather than crashed.
    bool afterHang = false;
    // ByGuardian: how long the guardian waited before the restart.
    DWORD restartSeconds = 0;
    // ByGuardian: the inherited handle of the guardian; GuardRole: of the
    // guarded Tollwick. Null otherwise.
    HANDLE otherProcess = nullptr;
};

// Switches: /autostart, /backstop, /unregister, /guard HANDLE,
// /restarted crash|hung SECONDS HANDLE (HANDLE the decimal value of an
// inherited handle). Letter case does not matter. Anything else, a switch
// with missing, extra or malformed arguments included, is a start by a
// person: a mistyped shortcut must still show the window. commandLine is the
// whole line, the program first, as GetCommandLineW gives it.
StartOptions ParseStartOptions(const wchar_t* commandLine);

} // namespace tw
