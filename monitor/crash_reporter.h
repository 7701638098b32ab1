// Crashes held open by the system's crash reporter. On Windows, Windows
// Error Reporting (WerFault.exe) keeps a crashed process alive behind its
// "已停止工作" box until someone answers it; under Wine, winedbg.exe does the
// same with its "Program Error" box. A kiosk would sit behind that box.
//
// Two defences. Each watched executable's file name is left out of error
// reporting for the current user, so that on Windows no box comes up at all.
// And whatever the system does with that, an instance that a reporter holds
// is recognised by the reporter's command line, ended at once and started
// again, and the reporter's box is closed.
#pragma once

#include "core/str.h"

#include <windows.h>

#include <atomic>

namespace tw {

// The file names of record index's executable, or of every record's
// (kAllPrograms), joined by '|' (no file name holds one). Takes the table
// lock itself.
constexpr size_t kAllPrograms = static_cast<size_t>(-1);
CStrW ProgramFileNames(size_t index = kAllPrograms);
// Leaves each of the file names (as ProgramFileNames gives them) out of error
// reporting for the current user (WerAddExcludedApplication). Does nothing
// where wer.dll or the function is missing. Not under the table lock.
void ExcludeFromErrorReporting(const CStrW& fileNames);
// Takes each of the file names back into error reporting, unless an entry of
// the table still has that file name (ignoring case). Not under the table
// lock.
void ReadmitToErrorReporting(const CStrW& fileNames);

// The process id that a crash reporter's command line names as the process
// it holds: the whole token after "-p" (WerFault: "-u -p 1234 -s 56") or
// after "--auto" (winedbg: "winedbg --auto 1234 56"), in decimal; 0 when
// none. "-p1234" names nothing: neither reporter writes it so.
DWORD HeldProcessId(const wchar_t* commandLine);
// The command line of another process, read from its process parameters;
// empty when it cannot be read safely (no rights, a 64-bit process read from
// a 32-bit one, an implausible length).
CStrW ReadProcessCommandLine(DWORD processId);
// The id of a crash reporter process (WerFault.exe, winedbg.exe) that holds
// processId, 0 when none does. Reads a process-wide list of the reporters
// running, taken again at most once a second.
DWORD FindCrashReporter(DWORD processId);
// Walks of the processes made for it so far (for tests and the benchmark).
extern std::atomic<unsigned long long> g_reporterWalks;

// The monitor thread's check, once per cycle before the running check: an
// instance held by a crash reporter is logged as a crash, ended without the
// hang grace, and the reporter's box closed (the reporter ended when it
// stays); the running check then starts the program again. Only an instance
// whose window has stopped taking messages (or that has no window) is looked
// up: a walk of the processes costs milliseconds under Wine.
void EndCrashHeldInstance(size_t index);

} // namespace tw
