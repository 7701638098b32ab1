// The highlight overlay: one full-screen, layered, click-through window that
// dims everything but a target window and outlines the target in red. It
// serves the window picker during a drag and the mark command. User
// interface thread only.
#pragma once

#include <windows.h>

namespace tw {

// The overlay window, null when it does not exist.
extern HWND g_overlayWindow;

// Starts GDI+ and creates the overlay owned by owner; it stays empty until
// the first ShowHighlight. Failures leave the overlay absent, unreported.
void CreateHighlightOverlay(HWND owner);
// (Re)creates the drawing surface at the stored screen size.
void CreateOverlaySurface();
// Dims the primary screen around target's window rectangle, outlines it and
// shows the overlay without activating it. No-op without an overlay.
void ShowHighlight(HWND target);
// Hides the overlay if it exists.
void HideHighlight();
// Hides and destroys the overlay; its destruction shuts GDI+ down.
void DestroyHighlight();
// Timer procedure of the mark command's 3 s timer: kills it, hides.
void CALLBACK OnHighlightTimer(HWND window, UINT message, UINT_PTR timerId, DWORD time);

} // namespace tw
