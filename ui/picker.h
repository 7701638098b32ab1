// The window picker: the finder box (control 10000) that the user drags onto
// a window of another program to add that program to the table. User
// interface thread only.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

struct CMonitorItem;

// The picker box's own messages; everything it does not handle goes to base.
LRESULT PickerBoxProc(WNDPROC base, HWND box, UINT message, WPARAM wParam, LPARAM lParam);
// Timer procedure of the 100 ms rest timer: outlines the window under the
// cursor once the pointer has rested.
void CALLBACK OnPickerTimer(HWND window, UINT message, UINT_PTR timerId, DWORD time);
// The window whose program a drop at point would pick: the root owner of the
// window there. Null over no window, over this program's own windows and
// over the desktop.
HWND PickTargetAt(POINT point);
// Fills record (zeroed by the caller) from target: window, title, class,
// process id, executable name and path, and the file description as errflag.
void DescribePickedWindow(HWND target, CMonitorItem* record);
// The version resource's FileDescription of the executable, or empty.
CStrW GetFileDescription(const wchar_t* path);

} // namespace tw
