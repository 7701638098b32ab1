// A hidden stand-in for the main window: it passes the engine's messages on,
// as the real main window does, and carries the hint line the monitor
// threads write to.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace tw_test {

class HostWindow {
public:
    // Creates the window, turns the running check on and makes it the
    // engine's main window.
    HostWindow();
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    // The real main window's box tells the engine itself; this one is told.
    void SetWatchRunning(bool on) const;
    // Every text the hint line was given, in order.
    static std::vector<std::wstring>& HintTexts();

private:
    HWND m_window = nullptr;
};

// Dispatches this thread's messages until done() or the time-out.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
void PumpFor(DWORD ms);

} // namespace tw_test
