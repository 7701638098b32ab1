// Windows put back where they were. While a program is healthy its monitor
// thread keeps its main window's placement (maximised or normal, and the
// normal rectangle, which names the monitor); after a restart it puts the new
// window back there when it shows up elsewhere, onto the primary monitor when
// the kept one is no longer attached.
//
// Thread rule: KeepWindowPlace runs on the program's monitor thread and
// writes only its own record (under the table lock); the text forms are for
// the configuration, on the user interface thread.
#pragma once

#include "core/str.h"
#include "monitor/program_table.h"

#include <windows.h>

namespace tw {

// The placement of window as kept; false for a minimised or missing window.
bool ReadWindowPlace(HWND window, WindowPlace* place);
// place moved onto the primary monitor's work area when no attached monitor
// shows any of its rectangle; otherwise place itself.
WindowPlace PlaceOnAttachedMonitor(const WindowPlace& place);
// Whether window shows as place says: maximised on the same monitor, or
// normal in the same rectangle.
bool WindowIsAt(HWND window, const WindowPlace& place);
// Puts window where place says without waiting for its program to answer.
void PutWindowAt(HWND window, const WindowPlace& place);

// The monitor thread's step, once per cycle while the program runs: puts a
// new instance's window back until the instance has run its stable time,
// and keeps the healthy window's placement after that.
void KeepWindowPlace(size_t index);

// "3,left,top,right,bottom" (3 maximised, 1 normal; the rectangle in
// workspace coordinates), as the key placement holds it.
CStrA PlaceToText(const WindowPlace& place);
// False, and place unknown, for a text not of that form.
bool PlaceFromText(const char* text, WindowPlace* place);

} // namespace tw
