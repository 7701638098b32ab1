// The top-level windows the error-dialog and crash-report checks look for,
// from one walk shared by every monitor thread. A walk asks for each window's
// title; done by every program in every period, it made the cost of idle
// monitoring grow with the square of the number of programs. Now a thread
// reuses a walk at most kWalkMaxAgeMs old, so a period costs a few walks in
// all. Any thread.
#pragma once

#include <windows.h>

namespace tw {

constexpr ULONGLONG kWalkMaxAgeMs = 500;

// The first top-level window (in Z order) titled title, of class className
// when that is not null, whose process is one of the count ids (inside true)
// or none of them (inside false); null when none. A window found in the walk
// is asked again for its title before it is returned, so a window that has
// gone or been renamed since is never answered.
HWND FindTitledWindow(const wchar_t* className, const wchar_t* title, const DWORD* ids, size_t count, bool inside);

} // namespace tw
