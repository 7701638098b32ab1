// The scheduler: the one-second clock that runs while monitoring runs (the
// monitored time, the daily reboot, the timed close of the programs and the
// countdown page), the one-second run check (the timed start), and what the
// schedule controls of the settings dialog do. Window thread only.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// Asks the system to restart, with the shutdown privilege enabled first
// (without it the request is refused). False when the request was refused.
bool RequestSystemRestart();

class CScheduler {
public:
    // The time source and the restart request; tests put their own in.
    long long (*clock)() = nullptr;
    bool (*restart)() = RequestSystemRestart;

    // Clock ticks taken while monitoring ran, in this run of the program.
    long long monitoredSeconds = 0;
    // Pending once-only moments; 0 = none.
    long long onceCloseTime = 0;
    long long onceRunTime = 0;

    CScheduler();

    // The timer procedures of TIMER_CLOCK and TIMER_SCHEDULED_RUN.
    static void CALLBACK OnClockTick(HWND, UINT, UINT_PTR, DWORD);
    static void CALLBACK OnRunTick(HWND, UINT, UINT_PTR, DWORD);
    // What one tick does at the moment now.
    void ClockTick(long long now);
    void RunTick(long long now);

    // The checks; each appends its countdown block to text.
    void CheckDailyReboot(long long now, CStrW& text);
    void CheckDailyClose(long long now, CStrW& text);
    void CheckOnceClose(long long now, CStrW& text);
    void CheckDailyRun(long long now, CStrW& text);
    void CheckOnceRun(long long now, CStrW& text);

    // The settings dialog's schedule controls, given the dialog window.
    void OnCloseTimeEdited(HWND dialog);
    void OnRunTimeEdited(HWND dialog);
    void OnOnceRunBox(HWND dialog);
    void OnDailyRunBox(HWND dialog);
    void OnOnceCloseBox(HWND dialog);
    void OnDailyCloseBox(HWND dialog);

    // Start-up: the pending once-only moments from the configuration (one
    // that passed before start-up is dropped and logged), and the run check
    // when a run is armed there.
    void RestoreOnceTargets();
    void StartRunTimerIfArmed();

    // Back to the state of a fresh start (tests).
    void Reset();

private:
    // What a daily check remembers between its ticks.
    struct DailyTrack {
        long long lastCheck = 0;
        long long actedDay = -1;
    };
    bool DueToday(DailyTrack& track, long long moment, long long now);
    void CloseAction(bool daily, long long nextMoment);
    void RunAction(bool daily, long long nextMoment);
    void Refuse(HWND dialog, int box, long long moment, long long now);
    long long Now() const;

    DailyTrack m_reboot;
    DailyTrack m_close;
    DailyTrack m_run;
    // Set while a close or run action is under way: ticks that arrive while
    // it waits (message loops of stopping, message boxes of starting) skip.
    bool m_acting = false;
};

extern CScheduler g_scheduler;

} // namespace tw
