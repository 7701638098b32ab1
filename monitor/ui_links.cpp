#include "monitor/ui_links.h"

#include "core/app_messages.h"
#include "monitor/fleet.h"

#include <commctrl.h>

namespace tw {

HWND g_engineWindow = nullptr;
HWND g_programListView = nullptr;
std::atomic<bool> g_watchRunning{true};
HWND g_hintLine = nullptr;

void RepaintProgramList()
{
    if (g_programListView)
        InvalidateRect(g_programListView, nullptr, FALSE);
}

void NotifyProgramsChanged()
{
    if (g_engineWindow)
        PostMessageW(g_engineWindow, WM_TW_PROGRAMS_CHANGED, 0, 0);
    NoteFleetChange();
}

void SetListItemCount(HWND list, size_t count)
{
    if (list)
        SendMessageW(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(count), LVSICF_NOINVALIDATEALL);
}

} // namespace tw
