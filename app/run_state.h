// How the last run of this Tollwick ended, kept as one word in
// "run-state.txt" in its logs folder: "running" while a run goes on
// ("running monitoring" while it monitors, so that a Tollwick the guardian
// brings back resumes as it was), "quit"
// after a person (or an uninstall or upgrade) quit it, "session" after the
// Windows session ended. A start that reads "running" follows a run that
// ended without saying so: killed, crashed, a power cut. The word is kept
// apart from config.xml, which a quit must leave exactly as it was.
#pragma once

#include "core/str.h"

namespace tw {

enum class RunEnd { Unknown, Running, Quit, Session };

// The state kept in the folder (ending with '\'); Unknown when there is no
// file or it holds no known word.
// monitoring, when given, tells whether a run that was going on monitored.
RunEnd ReadRunState(const CStrW& logsFolder, bool* monitoring = nullptr);
// Replaces the file with the state, making the folder when it is missing.
// The word is written to a file of its own first and then moved over the
// old one, so a crash in between leaves one whole word or the other.
bool WriteRunState(const CStrW& logsFolder, RunEnd state, bool monitoring = false);

} // namespace tw
