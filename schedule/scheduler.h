// The scheduler: the one-second clock that runs while monitoring runs (the
// monitored time, the daily reboot, the timed close of the programs and the
// countdown page), the one-second run check (the timed start), and what the
// schedule controls of the settings dialog do.
//
// It decides and the windows apply: a tick or a change of the dialog's
// controls returns what is to be shown and done, and the scheduler keeps its
// own moments and the configuration's schedule keys. It touches no window,
// so its decisions are tested without one. Window thread only.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// Asks the system to restart, with the shutdown privilege enabled first
// (without it the request is refused). False when the request was refused.
bool RequestSystemRestart();

enum class ScheduledAction {
    None,
    // Untick "监视运行状态", stop monitoring, close every program.
    Close,
    // Tick "监视运行状态", start monitoring.
    Run,
};

// What one tick asks of the main window, in this order: show the uptime,
// close Tollwick and ask for the restart, carry out the action, show the
// countdown page's text.
struct TickOutcome {
    CStrW uptime; // empty: unchanged
    bool restartComputer = false;
    ScheduledAction action = ScheduledAction::None;
    // The action came from a once-only moment: a close then also stops the
    // picker's timers and the highlight, a run the run check.
    bool onceOnly = false;
    CStrW countdown;
};

// The schedule controls of the settings dialog as it shows them.
struct ScheduleForm {
    bool onceRun = false;
    bool dailyRun = false;
    bool onceClose = false;
    bool dailyClose = false;
    CStrW runTime;   // "hh:mm:ss" as typed
    CStrW closeTime; // "hh:mm:ss" as typed
};

enum class RunCheck { Keep, Start, Stop };

// What the dialog does after a change of its schedule controls: show the
// message box first (when there is one), then the boxes as given, then start
// or stop the one-second run check.
struct FormOutcome {
    ScheduleForm form;
    CStrW message;
    UINT icon = 0;
    RunCheck runCheck = RunCheck::Keep;
};

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
    long long Now() const;

    // What one tick of the clock (while monitoring runs) and of the run
    // check does at the moment now.
    TickOutcome ClockTick(long long now, bool monitoring);
    TickOutcome RunTick(long long now);

    // The settings dialog's schedule controls; the time fields after the
    // user changed and left one, the boxes after a click on one.
    FormOutcome OnCloseTimeEdited(const ScheduleForm& form);
    FormOutcome OnRunTimeEdited(const ScheduleForm& form);
    FormOutcome OnOnceRunBox(const ScheduleForm& form);
    FormOutcome OnOnceCloseBox(const ScheduleForm& form);
    FormOutcome OnDailyRunBox(const ScheduleForm& form);
    FormOutcome OnDailyCloseBox(const ScheduleForm& form);

    // Start-up: the pending once-only moments from the configuration (one
    // that passed before start-up is dropped and logged).
    void RestoreOnceTargets();
    // Whether a run is armed in the configuration, so the run check must run.
    bool RunCheckArmed() const;

    // Back to the state of a fresh start (tests).
    void Reset();

    // The keys, fields and texts of the close or the run, which are alike.
    struct Kind;

private:
    // What a daily check remembers between its ticks.
    struct DailyTrack {
        long long lastCheck = 0;
        long long actedDay = -1;
    };
    bool DueToday(DailyTrack& track, long long moment, long long now);
    bool CheckDailyReboot(long long now, CStrW& text);
    void CheckClose(long long now, TickOutcome& outcome);
    void CheckRun(long long now, TickOutcome& outcome);
    void CheckOnce(const Kind& kind, long long now, TickOutcome& outcome);
    void CheckDaily(const Kind& kind, DailyTrack& track, long long now, TickOutcome& outcome);
    void Act(const Kind& kind, bool daily, long long nextMoment, TickOutcome& outcome);
    FormOutcome OnTimeEdited(const Kind& kind, const ScheduleForm& form);
    FormOutcome OnOnceBox(const Kind& kind, const ScheduleForm& form);
    FormOutcome OnDailyBox(const Kind& kind, const ScheduleForm& form);
    void Refuse(const Kind& kind, long long moment, long long now, FormOutcome& outcome);

    DailyTrack m_reboot;
    DailyTrack m_close;
    DailyTrack m_run;
};

extern CScheduler g_scheduler;

} // namespace tw
