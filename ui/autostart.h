// Starting with Windows: one value under the current user's Run key that
// holds this executable's quoted path and /autostart. User interface thread
// only.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// The one name the value is read, written and deleted under.
extern const wchar_t kAutostartValueName[];

// The opened Run key and the status of the last registry call on it.
struct AutostartKey {
    HKEY handle = nullptr;
    LONG status = ERROR_SUCCESS;

    AutostartKey() = default;
    AutostartKey(const AutostartKey&) = delete;
    AutostartKey& operator=(const AutostartKey&) = delete;
    ~AutostartKey() { Close(); }

    // Opens the key, creating it when it is missing; false when neither works.
    bool Open();
    // The value's text and registry type; false when the key is not open or
    // the value cannot be read.
    bool ReadValue(CStrW* text, DWORD* type);
    void Close();
};

// The value data that starts this program: its path in double quotes, so a
// path with spaces is never run as a shorter one, then " /autostart", so the
// start knows it was not a person's and shows no window of a Tollwick that
// runs already.
CStrW AutostartCommand();
// True when the value is a REG_SZ holding exactly AutostartCommand(), or
// the quoted path alone that versions before /autostart wrote, compared
// case-sensitively.
bool IsOwnAutostartValue(AutostartKey& key);
// An own value of the older form is written anew in the current one, so an
// upgrade keeps starting with Windows; false when that write failed.
bool UpgradeAutostartValue(AutostartKey& key);
// The start-with-Windows box was clicked (or start-up ticked it): a ticked
// box writes the value unless it is already ours, a clear box deletes it.
// A failed write says "无权限修改启动项" and clears the box. The backstop
// task (ui/backstop_task.h) is registered while the box stays ticked and
// deleted when it is clear; a refusal there is only traced.
void OnAutostartClick(HWND box);

} // namespace tw
