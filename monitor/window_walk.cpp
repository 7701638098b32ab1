#include "monitor/window_walk.h"

#include "core/array.h"
#include "core/handle.h"
#include "monitor/process_query.h"

#include <wchar.h>

namespace tw {

namespace {

// Titles are kept up to this length; a longer one is compared afresh.
constexpr int kTitleChars = 256;

struct WalkedWindow {
    HWND window;
    DWORD processId;
    bool titleCut;
    wchar_t title[kTitleChars];
};

// The walk and its time, guarded by WalkLock. Made once, never freed: a
// monitor thread may still be looking while the process exits.
struct Walk {
    CArray<WalkedWindow> windows;
    ULONGLONG takenAt = 0;
    bool taken = false;
};

Walk& SharedWalk()
{
    static Walk* walk = new Walk;
    return *walk;
}

CCriticalSection& WalkLock()
{
    static CCriticalSection* lock = new CCriticalSection;
    return *lock;
}

// The window's title as the system keeps it: InternalGetWindowText sends no
// message, so a window of a hung thread (or of Tollwick's own busy window
// thread) cannot hold the walk up, as FindWindowEx's own comparison cannot.
int TitleOf(HWND window, wchar_t* text, int chars)
{
    text[0] = 0;
    return InternalGetWindowText(window, text, chars);
}

void Retake(Walk& walk)
{
    walk.windows.ResizeArray(0);
    for (HWND window = FindWindowExW(nullptr, nullptr, nullptr, nullptr); window;
         window = FindWindowExW(nullptr, window, nullptr, nullptr)) {
        WalkedWindow entry = {};
        entry.window = window;
        GetWindowThreadProcessId(window, &entry.processId);
        int length = TitleOf(window, entry.title, kTitleChars);
        entry.titleCut = length >= kTitleChars - 1;
        walk.windows.Append(entry);
    }
    walk.takenAt = GetTickCount64();
    walk.taken = true;
}

bool TitleIs(HWND window, const wchar_t* title)
{
    size_t length = wcslen(title);
    CStrW text;
    wchar_t* buffer = text.Reserve(length + 2);
    if (!buffer)
        return false;
    // One character more than the title: a longer title does not match.
    int read = TitleOf(window, buffer, static_cast<int>(length) + 2);
    return read >= 0 && static_cast<size_t>(read) == length && _wcsicmp(buffer, title) == 0;
}

bool ClassIs(HWND window, const wchar_t* className)
{
    wchar_t name[64] = {0};
    return GetClassNameW(window, name, 64) > 0 && _wcsicmp(name, className) == 0;
}

// Titles compare without regard to case, as FindWindowEx compares them.
bool MayBeTitled(const WalkedWindow& entry, const wchar_t* title)
{
    if (!entry.titleCut)
        return _wcsicmp(entry.title, title) == 0;
    return _wcsnicmp(entry.title, title, kTitleChars - 1) == 0;
}

} // namespace

HWND FindTitledWindow(const wchar_t* className, const wchar_t* title, const DWORD* ids, size_t count, bool inside)
{
    if (!title || !*title)
        return nullptr;
    CLock lock(WalkLock());
    Walk& walk = SharedWalk();
    if (!walk.taken || GetTickCount64() - walk.takenAt >= kWalkMaxAgeMs)
        Retake(walk);
    for (size_t i = 0; i < walk.windows.Count(); ++i) {
        const WalkedWindow& entry = walk.windows.At(i);
        if (!MayBeTitled(entry, title) || IdListed(entry.processId, ids, count) != inside)
            continue;
        if ((!className || ClassIs(entry.window, className)) && TitleIs(entry.window, title))
            return entry.window;
    }
    return nullptr;
}

} // namespace tw
