// What Tollwick tells the tools that watch a fleet of PCs: every log line to
// the Windows event log (source "Tollwick"), the metrics file for
// Prometheus, and the webhook. The log hands each line over here; one fleet
// thread writes the event log and the metrics file, and the webhook has its
// sender thread, so no thread that logs waits on any of them.
#pragma once

#include "core/str.h"
#include "monitor/events.h"

#include <windows.h>

namespace tw {

// Root keys eventlog (on unless 0), metricsfile and webhookurl.
struct FleetSettings {
    bool eventLog = true;
    CStrW metricsFile;
    CStrW webhookUrl;
    CStrW version;
};

// Start-up, before the first line is logged. Takes the strings over.
void StartFleet(FleetSettings& settings);
// The exit: the last lines to the event log, the metrics file written with
// tollwick_up 0, and the webhook given a moment to deliver what is queued.
void StopFleet();

struct FleetEvent;
// The log, for every line: first, outside its own lock, the event's program
// facts are copied (false: no output wants events, nothing to hand over);
// then, under its lock, once the line has its number and time, the event is
// handed over, so that the outputs get the lines in the log's order.
bool PrepareFleetEvent(const LogEvent& event, const wchar_t* text, FleetEvent* out);
void HandOverEvent(const FleetEvent& event);
// Something the metrics show changed without a log line (a program ended,
// monitoring started or stopped): the fleet thread writes the file soon.
void NoteFleetChange();

// For tests: null in the program. Set, it sees every event handed over, on
// the thread that logs it, as if an output were on.
extern void (*g_fleetEventSeam)(const FleetEvent& event);

} // namespace tw
