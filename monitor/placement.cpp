#include "monitor/placement.h"

#include "monitor/monitor_run.h"
#include "monitor/ui_links.h"

#include <stdio.h>

namespace tw {

namespace {

MONITORINFO PrimaryMonitor()
{
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    POINT origin = {0, 0};
    if (!GetMonitorInfoW(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), &info)) {
        SetRect(&info.rcMonitor, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        info.rcWork = info.rcMonitor;
    }
    return info;
}

// Workspace coordinates start at the corner of the primary monitor's work
// area, screen coordinates at the corner of the monitor: they differ when
// the taskbar sits at the top or the left. (Under Wine on a bare X display
// the work area is the whole screen, and the two are the same.)
RECT ToScreen(const RECT& workspace)
{
    MONITORINFO primary = PrimaryMonitor();
    RECT screen = workspace;
    OffsetRect(&screen, primary.rcWork.left - primary.rcMonitor.left, primary.rcWork.top - primary.rcMonitor.top);
    return screen;
}

RECT ToWorkspace(const RECT& screen)
{
    MONITORINFO primary = PrimaryMonitor();
    RECT workspace = screen;
    OffsetRect(&workspace, primary.rcMonitor.left - primary.rcWork.left, primary.rcMonitor.top - primary.rcWork.top);
    return workspace;
}

HMONITOR MonitorOf(const RECT& workspace, DWORD fallback)
{
    RECT screen = ToScreen(workspace);
    return MonitorFromRect(&screen, fallback);
}

LONG Clamp(LONG value, LONG low, LONG high)
{
    return value < low ? low : (value > high ? high : value);
}

// The placement to keep for a healthy window. Wine reports the maximised
// rectangle of another process's maximised window as its normal one;
// Windows reports the real normal rectangle. When the report is the window's
// own rectangle, the normal rectangle kept before stays, if it lies on the
// monitor the window is maximised on.
bool ReadHealthyPlace(HWND window, const WindowPlace& kept, WindowPlace* place)
{
    if (!ReadWindowPlace(window, place))
        return false;
    RECT frame;
    if (place->maximised && kept.known && GetWindowRect(window, &frame)) {
        RECT reported = ToWorkspace(frame);
        if (EqualRect(&reported, &place->normal) &&
            MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST) == MonitorOf(kept.normal, MONITOR_DEFAULTTONEAREST))
            place->normal = kept.normal;
    }
    return true;
}

bool SamePlace(const WindowPlace& a, const WindowPlace& b)
{
    return a.known == b.known && a.maximised == b.maximised && EqualRect(&a.normal, &b.normal);
}

// The instance's window and what to do with it, copied under the lock.
struct PlaceFacts {
    HWND window = nullptr;
    DWORD processId = 0;
    WindowPlace kept = {};
    // A new window still to be put back; an instance Tollwick started that
    // is not healthy yet (it has not answered, or has not yet run its stable
    // time); an instance that is healthy (one found running is, once it has
    // answered).
    bool putBack = false;
    bool settling = false;
    bool healthy = false;
    ULONGLONG placeTick = 0;
};

bool ReadPlaceFacts(size_t index, PlaceFacts* facts)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return false;
    const CMonitorItem& record = g_monitorList.At(index);
    if (!record.recovery.keepPlacement || !record.window || record.pendingHangTimer.dueTick)
        return false;
    facts->window = record.window;
    facts->processId = record.processId;
    facts->kept = record.place;
    ULONGLONG stableMs = static_cast<ULONGLONG>(record.recovery.stableSeconds) * 1000;
    facts->putBack = record.placeAttempts > 0;
    facts->settling = record.lastStartTick && (!record.answered || GetTickCount64() - record.lastStartTick < stableMs);
    facts->healthy = record.answered && !facts->settling;
    facts->placeTick = record.placeTick;
    return true;
}

// Writes the record's placement fields if it still has this instance.
template <typename Write> void WriteIfSameInstance(size_t index, DWORD processId, Write write)
{
    CLock lock(TableLock());
    if (index < g_programCount && RunGoesOn() && g_monitorList.At(index).processId == processId)
        write(g_monitorList.At(index));
}

} // namespace

bool ReadWindowPlace(HWND window, WindowPlace* place)
{
    WINDOWPLACEMENT current = {};
    current.length = sizeof(current);
    *place = WindowPlace{};
    if (!window || !GetWindowPlacement(window, &current) || current.showCmd == SW_SHOWMINIMIZED || IsIconic(window))
        return false;
    place->known = true;
    place->maximised = current.showCmd == SW_SHOWMAXIMIZED;
    place->normal = current.rcNormalPosition;
    return true;
}

WindowPlace PlaceOnAttachedMonitor(const WindowPlace& place)
{
    if (!place.known || MonitorOf(place.normal, MONITOR_DEFAULTTONULL))
        return place;
    RECT work = PrimaryMonitor().rcWork;
    RECT screen = ToScreen(place.normal);
    LONG width = Clamp(screen.right - screen.left, 1, work.right - work.left);
    LONG height = Clamp(screen.bottom - screen.top, 1, work.bottom - work.top);
    LONG left = Clamp(screen.left, work.left, work.right - width);
    LONG top = Clamp(screen.top, work.top, work.bottom - height);
    RECT moved = {left, top, left + width, top + height};
    WindowPlace result = place;
    result.normal = ToWorkspace(moved);
    return result;
}

bool WindowIsAt(HWND window, const WindowPlace& place)
{
    WindowPlace now;
    if (!ReadWindowPlace(window, &now))
        return false;
    // A maximised window covers its monitor whatever its normal rectangle.
    if (place.maximised)
        return now.maximised &&
               MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST) == MonitorOf(place.normal, MONITOR_DEFAULTTONEAREST);
    return !now.maximised && EqualRect(&now.normal, &place.normal);
}

void PutWindowAt(HWND window, const WindowPlace& place)
{
    WINDOWPLACEMENT wanted = {};
    wanted.length = sizeof(wanted);
    if (!place.known || !GetWindowPlacement(window, &wanted))
        return;
    bool shownNormal = wanted.showCmd != SW_SHOWMAXIMIZED && wanted.showCmd != SW_SHOWMINIMIZED;
    // Posted, not sent: a program that stops answering meanwhile must not
    // hold the monitor thread.
    wanted.flags = WPF_ASYNCWINDOWPLACEMENT;
    wanted.rcNormalPosition = place.normal;
    // A maximised window stays on its monitor when only its normal rectangle
    // changes: it is shown normal first, and maximised again where it is.
    bool placed = true;
    if (!shownNormal) {
        wanted.showCmd = SW_SHOWNOACTIVATE;
        placed = SetWindowPlacement(window, &wanted) != FALSE;
    }
    wanted.showCmd = place.maximised ? SW_SHOWMAXIMIZED : SW_SHOWNOACTIVATE;
    if (placed && SetWindowPlacement(window, &wanted))
        return;
    // Wine refuses SetWindowPlacement for another process's window. Shown
    // normal, moved and maximised without waiting, the window ends up the
    // same there (and on Windows too). The maximise is a posted system
    // command, so that it comes after the move whichever way Wine queues the
    // move; an asynchronous show could overtake it there.
    if (!shownNormal)
        ShowWindowAsync(window, SW_SHOWNOACTIVATE);
    RECT screen = ToScreen(place.normal);
    SetWindowPos(window, nullptr, screen.left, screen.top, screen.right - screen.left, screen.bottom - screen.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
    if (place.maximised)
        PostMessageW(window, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
}

void KeepWindowPlace(size_t index)
{
    PlaceFacts facts;
    if (!ReadPlaceFacts(index, &facts))
        return;
    DWORD owner = 0;
    if (!GetWindowThreadProcessId(facts.window, &owner) || owner != facts.processId || !IsWindowVisible(facts.window))
        return;
    WindowPlace target = PlaceOnAttachedMonitor(facts.kept);
    if (facts.putBack || facts.settling) {
        // Until it is healthy, the window is held where it was kept; a new
        // one is put back a few times at most (a program may refuse).
        constexpr ULONGLONG kLandingMs = 1000;
        ULONGLONG now = GetTickCount64();
        if (now - facts.placeTick < kLandingMs)
            return;
        bool there = !target.known || WindowIsAt(facts.window, target);
        if (!there)
            PutWindowAt(facts.window, target);
        WriteIfSameInstance(index, facts.processId, [there, now](CMonitorItem& record) {
            record.placeAttempts = there || record.placeAttempts == 0 ? 0 : record.placeAttempts - 1;
            if (!there)
                record.placeTick = now;
        });
        return;
    }
    WindowPlace now;
    if (!facts.healthy || !ReadHealthyPlace(facts.window, facts.kept, &now) || SamePlace(now, facts.kept))
        return;
    WriteIfSameInstance(index, facts.processId, [&now](CMonitorItem& record) { record.place = now; });
    NotifyProgramsChanged();
}

CStrA PlaceToText(const WindowPlace& place)
{
    CStrA text;
    if (place.known)
        text.Format("%d,%ld,%ld,%ld,%ld", place.maximised ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL, place.normal.left,
                    place.normal.top, place.normal.right, place.normal.bottom);
    return text;
}

bool PlaceFromText(const char* text, WindowPlace* place)
{
    *place = WindowPlace{};
    int show = 0;
    long left = 0, top = 0, right = 0, bottom = 0;
    char end = 0;
    if (!text || sscanf(text, "%d,%ld,%ld,%ld,%ld%c", &show, &left, &top, &right, &bottom, &end) != 5)
        return false;
    // Far beyond any desktop, a rectangle is a damaged value, not a place.
    constexpr long kFar = 1000000;
    if ((show != SW_SHOWNORMAL && show != SW_SHOWMAXIMIZED) || right <= left || bottom <= top || left < -kFar ||
        top < -kFar || right > kFar || bottom > kFar)
        return false;
    place->known = true;
    place->maximised = show == SW_SHOWMAXIMIZED;
    SetRect(&place->normal, left, top, right, bottom);
    return true;
}

} // namespace tw
