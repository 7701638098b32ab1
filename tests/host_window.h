// A hidden stand-in for the main window: it carries the controls the monitor
// threads talk to (the running-check box and the hint line) and passes the
// engine's messages on, as the real main window does.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace tw_test {

class HostWindow {
public:
    // Creates the window, ticks the box and makes it the engine's main window.
    HostWindow();
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND Window() const { return m_window; }
    HWND Box() const { return m_box; }
    void SetWatchRunning(bool on) const;
    // Every text the hint line was given, in order.
    static std::vector<std::wstring>& HintTexts();

private:
    HWND m_window = nullptr;
    HWND m_box = nullptr;
};

// Dispatches this thread's messages until done() or the time-out.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
void PumpFor(DWORD ms);

} // namespace tw_test
