// The metrics file: Tollwick's state and this run's counts in Prometheus'
// text format, for the textfile collector of windows_exporter or
// node_exporter, which serve it with their own metrics.
#pragma once

#include "core/array.h"
#include "core/str.h"
#include "monitor/health_state.h"
#include "monitor/program_table.h"

#include <windows.h>

namespace tw {

// One program's line of figures, its strings the snapshot's own.
struct ProgramMetrics {
    CStrW name; // the executable's name: label program
    CStrW path; // label path
    bool running;
    ProgramCounts counts;
    // The wait of a restart held back now, in seconds; 0: none.
    double backoffWaitSeconds;
};

struct TollwickMetrics {
    bool up = false;
    bool monitoring = false;
    long long startSeconds = 0; // when this Tollwick started (since 1970, UTC)
    CStrW version;
    // In entry order: label entry is the position plus one.
    CArray<ProgramMetrics> programs;
};

// Fills metrics from the table (under its lock) and the monitoring state.
void TakeMetricsSnapshot(bool up, long long startSeconds, TollwickMetrics* metrics);
void ReleaseMetrics(TollwickMetrics* metrics);

// The file's text: UTF-8 without a byte-order mark, "\n" line ends, a final
// newline, HELP and TYPE for every metric, no timestamps, no series twice.
CStrA BuildMetricsText(const TollwickMetrics& metrics);

// Writes text to a temporary file in path's folder and puts it in place of
// path in one step. An exporter reading the old file at that moment (Go
// opens files without FILE_SHARE_DELETE) makes the replace fail with a
// sharing error: it is tried again a few times, 50 ms apart. 0 or the error;
// on an error the old file is left as it was and no temporary file stays.
DWORD ReplaceMetricsFile(const CStrW& path, const CStrA& text);

} // namespace tw
