#!/usr/bin/env python3
"""Checks that the test suite catches deliberate faults in the product code.

Each fault below replaces one piece of product code with a plausible mistake
(an off-by-one, a dropped lock, a wrong comparison, a skipped close, a wrong
text, ...), at least two in every product folder. For each, the script
applies the fault, rebuilds the x64 test program that should catch it, runs
the named tests under Wine and expects them to fail; then it restores the
file. It prints one line per fault and exits
non-zero when a fault goes unnoticed or cannot be applied.

It refuses to start while a file it would change differs from the committed
one, so that a fault can never be committed with other work, and it puts the
file back when it is stopped (SIGINT, SIGTERM) halfway.

    python3 tools/fault-check.py [--only NAME] [--list]

Run it after changing tests: every fault must still be caught. It needs the
x64 build (make build) and runs Wine through tools/virtual-display.sh.
"""
import argparse
import os
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, kind, file, text to find (exactly once), replacement, test program,
# gtest filter of the tests that catch it
FAULTS = [
    # core
    ("paths-compared-as-text", "wrong comparison", "core/path.cpp",
     "    const PathView& view = ThisProcessPathView();\n    if (SamePath(a, b, view))\n        return true;",
     "    return a && b && _wcsicmp(a, b) == 0;\n    const PathView& view = ThisProcessPathView();\n"
     "    if (SamePath(a, b, view))\n        return true;",
     "engine_tests", "MonitorTest.APathInAnotherFormIsTheSameProgram"),
    ("colon-split-off-by-one", "off-by-one", "core/text_ops.cpp",
     "static_cast<size_t>(second - first - 1));",
     "static_cast<size_t>(second - first));",
     "core_tests", "ColonSplit.*"),
    ("shared-string-written-in-place", "wrong comparison", "core/str.cpp",
     "    if (!m_rec || m_rec->refCount <= 1)\n        return true;",
     "    if (!m_rec || m_rec->refCount <= 2)\n        return true;",
     "core_tests", "StringSharing.*"),
    ("long-format-cut-at-259", "skipped step", "core/str.cpp",
     "    if (counted >= static_cast<int>(kFormatBufferChars)) {",
     "    if (false) {",
     "core_tests", "StringFormat.*"),
    # config
    ("config-file-left-open", "skipped close", "config/config.cpp",
     "NestingDepth(data, data + size) <= kMaxNesting;\n    fclose(file);",
     "NestingDepth(data, data + size) <= kMaxNesting;",
     "config_tests", "ConfigTest.ADamagedFileIsKeptAsideNeverOverwrittenAndReplaced"),
    ("config-entry-off-by-one", "off-by-one", "config/config.cpp",
     "        if (++n == index)\n            return e;",
     "        if (n++ == index)\n            return e;",
     "config_tests", "ConfigTest.WellFormedFileIsLoadedAndNotRewrittenAtOpen"),
    ("config-declared-in-capitals", "wrong text", "config/config.cpp",
     'const char* encoding = "gb2312";',
     'const char* encoding = "GB2312";',
     "config_tests", "ConfigTest.MissingFileBecomesTheFirstRunFileByteForByte"),
    # monitor
    ("launcher-not-attached", "skipped step", "monitor/launch.cpp",
     "    if (*processId)\n        return SetProgramAttachment(index, *processId, nullptr) ? Claimed::Attached",
     "    *processId = 0;\n    if (*processId)\n        return SetProgramAttachment(index, *processId, nullptr) ? Claimed::Attached",
     "engine_tests", "MonitorTest.ALauncherLeavesExactlyOneCopyRunning"),
    ("crash-check-closes-twins", "wrong comparison", "monitor/crash_dialog.cpp",
     "    CopyInstanceIds(static_cast<size_t>(-1), &instances);",
     "    instances.Append(ProgramProcessId(index));",
     "engine_tests", "MonitorTest.TwoInstancesOfOneProgramNeitherMergeNorCloseEachOther"),
    ("late-window-never-found", "skipped step", "monitor/hang_check.cpp",
     "    if (!IsWindow(window))\n        window = FindLateWindow(index, processId);",
     "    if (!IsWindow(window))\n        window = nullptr;",
     "engine_tests", "MonitorTest.ALateWindowIsHangCheckedOnceFoundButASlowStarterIsGivenTime"),
    ("no-startup-allowance", "skipped check", "monitor/hang_check.cpp",
     "    if (!answered && GetTickCount64() - started < StartupAllowanceMs()) {",
     "    if (false) {",
     "engine_tests", "MonitorTest.ALateWindowIsHangCheckedOnceFoundButASlowStarterIsGivenTime"),
    ("refused-kill-reported-as-kill", "wrong comparison", "monitor/hang_check.cpp",
     "    if (EndInstance(index)) {\n        CountProgramEvent(index, ProgramCounter::HangKill);",
     "    if (EndInstance(index) || true) {\n        CountProgramEvent(index, ProgramCounter::HangKill);",
     "engine_tests", "MonitorTest.AKillThatIsRefusedIsLoggedAndNoCopyStarts"),
    ("failed-start-logged-every-time", "wrong comparison", "monitor/launch.cpp",
     "    if (NoteStartResult(index, error))",
     "    if (NoteStartResult(index, error) || true)",
     "engine_tests", "ProgramTableTest.AFailedLaunchIsLoggedAsAFailureAndStaysRed"),
    ("attach-by-file-name", "wrong comparison", "monitor/program_table.cpp",
     "            SamePath(GetProcessIdImagePath(owner).c_str(), path.c_str())) {",
     "            true) {",
     "engine_tests", "ProgramTableTest.StoredWindowAttachesOnlyToItsOwnExecutable"),
    ("loaded-path-kept-as-written", "skipped step", "monitor/program_table.cpp",
     "        CStrW longPath = FoundLongPath(CopyProgramText(j, &CMonitorItem::path));",
     "        CStrW longPath = CopyProgramText(j, &CMonitorItem::path);",
     "engine_tests", "ProgramTableTest.AppendComparesTheLongPathsOfLoadedAndPickedPrograms"),
    ("picked-path-compared-as-written", "wrong comparison", "monitor/program_table.cpp",
     "                                          : SamePath(listed.longPath.c_str(), longPath.c_str(), view))",
     "                                          : SamePath(listed.longPath.c_str(), record.path.c_str(), view))",
     "engine_tests", "ProgramTableTest.AppendComparesTheLongPathsOfLoadedAndPickedPrograms"),
    ("log-capacity-off-by-one", "off-by-one", "monitor/error_log.cpp",
     "    if (m_entries.Count() < kLogCapacity) {",
     "    if (m_entries.Count() <= kLogCapacity) {",
     "engine_tests", "ErrorLogTest.OnlyTheNewestEntriesAreKeptAndNumberedOn"),
    ("log-lock-dropped", "dropped lock", "monitor/error_log.cpp",
     "    CLock lock(LogLock());\n    // Stamped under the lock",
     "    // Stamped under the lock",
     "engine_tests", "ErrorLogTest.ConcurrentAddsLoseNothing"),
    ("export-file-not-closed", "skipped close", "monitor/error_log.cpp",
     "    bool closed = fclose(file) == 0;",
     "    bool closed = true;",
     "engine_tests", "ErrorLogTest.ExportWritesNumberedLinesAndOneZeroByte"),
    ("log-rotation-keeps-one-more", "off-by-one", "monitor/log_file.cpp",
     "    for (size_t i = 0; i < files.Count() && count > m_fileCount; ++i) {",
     "    for (size_t i = 0; i < files.Count() && count > m_fileCount + 1; ++i) {",
     "engine_tests", "ErrorLogTest.RotationKeepsTheSetNumberOfFiles"),
    ("log-cut-line-not-ended", "skipped step", "monitor/log_file.cpp",
     "    m_brokenTail = broken;",
     "    m_brokenTail = false;",
     "engine_tests", "ErrorLogTest.EachEntryIsOnDiskWhenAddReturns"),
    ("backoff-wait-off-by-one", "off-by-one", "monitor/backoff.cpp",
     "    for (DWORD step = 1; step < shortRuns && wait < cap; ++step)",
     "    for (DWORD step = 0; step < shortRuns && wait < cap; ++step)",
     "engine_tests", "MonitorTest.ACrashLoopIsRestartedOneTwoFourPeriodsApartThenAtOnceAfterAStableRun"),
    ("stop-waits-for-busy-thread", "wrong bound", "monitor/monitor_thread.cpp",
     "constexpr DWORD kStopWaitMs = 400;",
     "constexpr DWORD kStopWaitMs = 30000;",
     "engine_tests", "MonitorTest.AStopDuringASlowStartIsQuickAndTheThreadLeftBehindKeepsNothing"),
    ("left-behind-thread-records", "skipped check", "monitor/program_table.cpp",
     "    if (index >= g_programCount || !RunGoesOn())\n        return false;\n    CMonitorItem& record = g_monitorList.At(index);\n    record.processId = processId;",
     "    if (index >= g_programCount)\n        return false;\n    CMonitorItem& record = g_monitorList.At(index);\n    record.processId = processId;",
     "engine_tests", "MonitorTest.AStopDuringASlowStartIsQuickAndTheThreadLeftBehindKeepsNothing"),
    ("stop-pumps-messages", "nested loop", "monitor/monitor_thread.cpp",
     "    WaitForThreads(threads, GetTickCount64() + kStopWaitMs);",
     "    for (ULONGLONG end = GetTickCount64() + kStopWaitMs; GetTickCount64() < end; Sleep(10)) {\n"
     "        MSG msg;\n        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))\n"
     "            DispatchMessageW(&msg);\n    }",
     "app_tests", "AppTest.AStartAndStopCycleSwitchesTheWindowAndTheEndOfTheSessionSaves"),
    ("slow-end-not-waited", "skipped wait", "monitor/launch.cpp",
     "    case EndResult::Ending:\n        break;",
     "    case EndResult::Ending:\n        return true;",
     "engine_tests", "MonitorTest.AHungProgramThatEndsLateIsWaitedForOffTheWindowsThread"),
    ("refused-probe-is-a-hang", "wrong comparison", "monitor/hang_check.cpp",
     "    if (probe != ProbeResult::Hung) {",
     "    if (probe != ProbeResult::Hung && probe != ProbeResult::Refused) {",
     "engine_tests", "MonitorTest.AWindowThatRefusesTheProbeIsNotKilledButStillRestarted"),
    ("period-not-capped", "overflow", "monitor/monitor_thread.cpp",
     "    long long s = seconds < 1 ? 5 : (seconds > kLongestSettingSeconds ? kLongestSettingSeconds : seconds);\n"
     "    return static_cast<size_t>",
     "    long long s = seconds < 1 ? 5 : seconds;\n    return static_cast<size_t>",
     "engine_tests", "MonitorSettings.*"),
    ("late-exit-taken-for-next-run", "skipped step", "monitor/program_table.cpp",
     "    if (tick)\n        DetachExitWatcher(record);\n",
     "",
     "engine_tests", "MonitorTest.AnExitNotedLateIsNotTakenForTheNextRunsEnd"),
    ("health-grace-ignored", "skipped wait", "monitor/health_check.cpp",
     "check.graced && WithinGrace(input, work)",
     "check.graced && false && WithinGrace(input, work)",
     "engine_tests", "MonitorTest.AStaleHeartbeat*"),
    ("heartbeat-age-in-wrong-unit", "wrong unit", "monitor/heartbeat_check.cpp",
     "    return age > input.health.heartbeatSeconds ? Verdict::Fail : Verdict::Pass;",
     "    return age > input.health.heartbeatSeconds * 1000ull ? Verdict::Fail : Verdict::Pass;",
     "engine_tests", "MonitorTest.AStaleHeartbeat*"),
    ("check-off-still-runs", "skipped check", "monitor/heartbeat_check.cpp",
     "    return !input.health.heartbeatFile.IsEmpty();",
     "    return true;",
     "engine_tests", "MonitorTest.AStaleHeartbeat*"),
    ("recovery-never-logged", "skipped step", "monitor/health_check.cpp",
     "    check.failures = 0;\n    check.acted = true;",
     "    check.failures = 0;",
     "engine_tests", "MonitorTest.AStaleHeartbeat*"),
    ("status-500-passes", "wrong bound", "monitor/endpoint_check.cpp",
     "status >= 200 && status <= 399 ? Verdict::Pass",
     "status >= 200 ? Verdict::Pass",
     "engine_tests", "MonitorTest.AHealthAddress*"),
    ("probe-on-the-monitor-thread", "wrong thread", "monitor/endpoint_check.cpp",
     "    if (!QueueUserWorkItem(RunProbe, probe, WT_EXECUTELONGFUNCTION)) {",
     "    if (RunProbe(probe) != 0) {",
     "engine_tests", "MonitorTest.AHealthAddress*"),
    ("refused-connect-passes", "skipped check", "monitor/endpoint_check.cpp",
     "    WSACleanup();\n    if (error != 0)",
     "    WSACleanup();\n    if (error != 0 && false)",
     "engine_tests", "MonitorTest.AHealthAddress*"),
    ("cpu-limit-in-wrong-unit", "wrong unit", "monitor/cpu_check.cpp",
     "    return reading->value > input.health.cpuLimitPercent ? Verdict::Fail : Verdict::Pass;",
     "    return reading->value > input.health.cpuLimitPercent * 100ull ? Verdict::Fail : Verdict::Pass;",
     "engine_tests", "MonitorTest.AProgramThatPegsACore*"),
    ("close-kills-at-once", "skipped wait", "monitor/program_close.cpp",
     "    RunClose(*job, job->graceMs, kEndWaitMs);",
     "    RunClose(*job, 0, kEndWaitMs);",
     "engine_tests", "ProgramTableTest.TheTimedCloseLetsProgramsSaveOnAWorkerAndEndsTheRefuserAfterTheGrace"),
    ("close-waits-on-the-window-thread", "wrong thread", "monitor/program_close.cpp",
     "    HANDLE thread = CreateThread(nullptr, 0, CloseWorkerProc, job.get(), 0, nullptr);",
     "    HANDLE thread = nullptr;\n    CloseWorkerProc(job.release());\n    return;",
     "engine_tests", "ProgramTableTest.TheTimedCloseLetsProgramsSaveOnAWorkerAndEndsTheRefuserAfterTheGrace"),
    ("close-ends-another-executable", "skipped check", "monitor/program_close.cpp",
     "        return !SamePath(GetProcessImagePath(program.process.Get()).c_str(), program.path.c_str());",
     "        return program.path.IsEmpty();",
     "engine_tests", "ProgramTableTest.TheTimedCloseLetsProgramsSaveOnAWorkerAndEndsTheRefuserAfterTheGrace"),
    ("close-waits-for-64-at-most", "off-by-one", "monitor/program_close.cpp",
     "    for (size_t from = 0; from < count; from += MAXIMUM_WAIT_OBJECTS) {",
     "    for (size_t from = 0; from < count && from < 1; from += MAXIMUM_WAIT_OBJECTS) {",
     "engine_tests", "WaitForAllHandles.*"),
    ("held-id-prefix-of-token", "wrong comparison", "monitor/crash_reporter.cpp",
     "            return digits == length && id <= 0xFFFFFFFFull",
     "            return digits > 0 && id <= 0xFFFFFFFFull",
     "engine_tests", "CrashReporter.TheHeldIdIsTheWholeDecimalTokenAfterTheSwitch"),
    ("command-line-read-off-its-field", "wrong offset", "monitor/crash_reporter.cpp",
     "constexpr Layout kLayout64 = {0x20, 0x70, true};",
     "constexpr Layout kLayout64 = {0x20, 0x60, true};",
     "engine_tests", "CrashReporter.AnotherProcesssCommandLineIsReadFromItsParameters"),
    ("exclusion-undone-while-twin-left", "skipped check", "monitor/crash_reporter.cpp",
     "        if (!NameListed(remaining, name))",
     "        if (!NameListed(remaining, name) || true)",
     "engine_tests", "CrashReporterTest.WatchedFileNamesAreLeftOutOfErrorReportingWhileAnEntryHasThem"),
    ("exclusion-not-at-monitoring-start", "skipped step", "monitor/monitor_thread.cpp",
     "    ExcludeFromErrorReporting(ProgramFileNames());\n",
     "",
     "engine_tests", "CrashReporterTest.WatchedFileNamesAreLeftOutOfErrorReportingWhileAnEntryHasThem"),
    ("held-crash-left-to-the-grace", "skipped step", "monitor/crash_reporter.cpp",
     "    if (!reporterId)\n        return;",
     "    if (reporterId || !reporterId)\n        return;",
     "engine_tests", "CrashReporterTest.AnInstanceHeldByTheCrashReporterIsEndedAtOnceAndStartedAgain"),
    ("every-instance-looked-up", "skipped check", "monitor/crash_reporter.cpp",
     "    return IsHungAppWindow(window) != FALSE;",
     "    return true;",
     "engine_tests", "CrashReporterTest.AHealthyProgramCostsNoWalkOfTheProcesses"),
    ("reporter-box-left-open", "wrong comparison", "monitor/crash_reporter.cpp",
     "    if (!FindProcessEntry(reporterId, &entry) || !IsReporterName(entry.szExeFile))",
     "    if (FindProcessEntry(reporterId, &entry) || !IsReporterName(entry.szExeFile))",
     "engine_tests", "CrashReporterTest.AnInstanceHeldByTheCrashReporterIsEndedAtOnceAndStartedAgain"),
    ("metrics-backslash-unescaped", "wrong text", "monitor/metrics_file.cpp",
     "        if (*c == L'\\\\')",
     "        if (*c == L'\\\\' && false)",
     "engine_tests", "MetricsTest.TextIsWellFormedEscapedAndHasEachSeriesOnce"),
    ("metrics-entries-numbered-alike", "off-by-one", "monitor/metrics_file.cpp",
     "    out->AppendUInt64(index + 1);",
     "    out->AppendUInt64(1);",
     "engine_tests", "MetricsTest.TextIsWellFormedEscapedAndHasEachSeriesOnce"),
    ("metrics-backoff-without-short-runs", "wrong comparison", "monitor/metrics_file.cpp",
     "        bool held = record.restartDueTick && record.shortRuns;",
     "        bool held = record.restartDueTick != 0;",
     "engine_tests", "MetricsTableTest.SnapshotReadsEachRecordsCountsRunningAndBackoff"),
    ("metrics-snapshot-shares-strings", "dropped copy", "monitor/metrics_file.cpp",
     "        line.path.AssignChars(record.path.c_str(), 0);",
     "        line.path = record.path;",
     "engine_tests", "MetricsTableTest.SnapshotReadsEachRecordsCountsRunningAndBackoff"),
    ("metrics-replace-not-retried", "skipped step", "monitor/metrics_file.cpp",
     "attempt == kReplaceRetries)",
     "attempt >= 0)",
     "engine_tests", "MetricsFileTest.ReplaceWaitsForABriefReaderAndNeverLeavesATemporaryFile"),
    ("metrics-temporary-file-left", "skipped cleanup", "monitor/metrics_file.cpp",
     "    if (error)\n        DeleteFileW(temp.c_str());",
     "    if (false)\n        DeleteFileW(temp.c_str());",
     "engine_tests", "MetricsFileTest.ReplaceWaitsForABriefReaderAndNeverLeavesATemporaryFile"),
    ("webhook-backslash-not-escaped", "wrong comparison", "monitor/webhook.cpp",
     "        if (code == '\"' || code == '\\\\') {",
     "        if (code == '\"') {",
     "engine_tests", "WebhookJson.EachEventIsOneObjectWithItsFieldsEscaped"),
    ("webhook-delivered-event-kept", "skipped step", "monitor/webhook.cpp",
     "                sender->queue.Pop(event.number, dropped);\n",
     "",
     "engine_tests", "WebhookTest.QueuedEventsArriveInOrderEachAsItsJson"),
    ("webhook-no-answer-taken-as-delivered", "wrong value", "monitor/web_session.cpp",
     "        !WinHttpReceiveResponse(request.handle, nullptr))\n        return *error = GetLastError(), 0;",
     "        !WinHttpReceiveResponse(request.handle, nullptr))\n        return *error = GetLastError(), 200;",
     "engine_tests", "WebhookTest.EventsQueuedWhileTheReceiverIsDownArriveOnceItIsBack"),
    ("webhook-500-taken-as-delivered", "wrong comparison", "monitor/webhook.cpp",
     "            if (status >= 200 && status <= 299) {",
     "            if (status >= 200) {",
     "engine_tests", "WebhookTest.AnEventAnswered500IsSentAgain"),
    ("webhook-drops-not-reported", "wrong value", "monitor/webhook.cpp",
     "WebhookJson(event, dropped, sender->machine, sender->user)",
     "WebhookJson(event, 0, sender->machine, sender->user)",
     "engine_tests", "WebhookTest.AFullQueueDropsTheOldestAndTheNextEventCarriesTheCount"),
    ("webhook-stop-waits-for-the-request", "wrong value", "monitor/webhook.cpp",
     "        WaitForSingleObject(g_thread.Get(), kStopMomentMs);",
     "        WaitForSingleObject(g_thread.Get(), INFINITE);",
     "engine_tests", "WebhookTest.StopKeepsToItsAllowanceWhileARequestHangs"),
    # schedule
    ("once-close-a-second-late", "off-by-one", "schedule/scheduler.cpp",
     "    if (r <= 0)\n        Act(kind, false, 0, outcome);",
     "    if (r < 0)\n        Act(kind, false, 0, outcome);",
     "schedule_tests", "SchedulerTest.AOnceOnlyCloseCountsDownAndAtZeroClosesEverything"),
    ("catch-up-after-any-gap", "wrong comparison", "schedule/scheduler.cpp",
     "now - previous <= kCatchUpSeconds",
     "now - previous >= kCatchUpSeconds",
     "schedule_tests", "SchedulerTest.TheDailyRebootFiresOnceOnTheDayItWasWatchedFor"),
    ("daily-close-label", "wrong text", "schedule/scheduler.cpp",
     'L"每天定时关闭程序,剩余:",',
     'L"每日定时关闭程序,剩余:",',
     "schedule_tests", "SchedulerTest.ADailyCloseAndALaterDailyRunActOnceEachThatDay"),
    # ui
    ("unattended-start-asks", "wrong comparison", "ui/monitor_command.cpp",
     "    if (!unattended && !CheckExecutables()) {",
     "    if (!CheckExecutables()) {",
     "app_tests", "AppTest.AnUnattendedStartWatchesTheOthersAndWaitsForAMissingFile"),
    ("delete-while-monitoring", "wrong comparison", "ui/commands.cpp",
     "    if (row < 0 || g_monitoring.load() == 1)\n        return;\n    RemoveProgram",
     "    if (row < 0 || g_monitoring.load() == 2)\n        return;\n    RemoveProgram",
     "app_tests", "AppTest.AnUnattendedStartWatchesTheOthersAndWaitsForAMissingFile"),
    ("info-panel-label", "wrong text", "ui/commands.cpp",
     'AppendLine(text, L"进程ID  ：", number);',
     'AppendLine(text, L"进程ID：", number);',
     "app_tests", "AppTest.TheInfoPageDescribesEveryProgramAndDeletedOrMissingOnesStayRemoved"),
    ("run-not-held-during-close", "skipped check", "ui/schedule_view.cpp",
     "    if (g_closesUnderWay == 0) {\n        RunEverything(onceOnly);",
     "    if (true) {\n        RunEverything(onceOnly);",
     "app_schedule_tests", "AppTest.ARunDueWhileTheTimedCloseStillWaitsComesAfterTheClose"),
    ("period-stored-past-the-longest", "skipped check", "ui/settings_dialog.cpp",
     "    return value < kLongestSeconds ? value : kLongestSeconds;",
     "    return value;",
     "app_schedule_tests", "SettingsDialogTest.ClosingStoresTheGlobalAndEachProgramsFields"),
    ("health-field-bound-to-wrong-key", "wrong text", "ui/settings_dialog.cpp",
     "    h.cpuCycles = NumberField(dialog, IDC_CPU_CYCLES, kept.cpuCycles);",
     "    h.cpuCycles = NumberField(dialog, IDC_HEALTH_CYCLES, kept.cpuCycles);",
     "app_schedule_tests", "SettingsDialogTest.EachProgramFieldIsOnItsPageAndStoredUnderItsKey"),
    ("emptied-health-number-zeroed", "skipped step", "ui/settings_dialog.cpp",
     "    h.heartbeatSeconds = NumberField(dialog, IDC_HEARTBEAT_TIME, kept.heartbeatSeconds);",
     "    h.heartbeatSeconds = GetDlgItemInt(dialog, IDC_HEARTBEAT_TIME, nullptr, FALSE);",
     "app_schedule_tests", "SettingsDialogTest.EachProgramFieldIsOnItsPageAndStoredUnderItsKey"),
    ("health-field-on-no-page", "skipped step", "ui/settings_dialog.cpp",
     "    case IDC_HEALTH_URL:\n    case IDC_CPU_LIMIT:",
     "    case IDC_CPU_LIMIT:",
     "app_schedule_tests", "SettingsDialogTest.EachProgramFieldIsOnItsPageAndStoredUnderItsKey"),
    ("focus-on-hidden-page-stays-hidden", "skipped step", "ui/settings_dialog.cpp",
     "    if (!focused || page < 0)\n        return false;\n    SelectPage(dialog, page);",
     "    if (!focused || page < 0)\n        return false;",
     "app_schedule_tests", "SettingsDialogTest.EachProgramFieldIsOnItsPageAndStoredUnderItsKey"),
    ("ctrl-tab-not-filtered", "skipped check", "ui/settings_dialog.cpp",
     "    if (code == MSGF_DIALOGBOX) {",
     "    if (false) {",
     "app_schedule_tests", "SettingsDialogTest.EachProgramFieldIsOnItsPageAndStoredUnderItsKey"),
    ("settings-dialog-taller-than-600", "wrong bound", "res/tollwick.rc",
     "IDD_SETTINGS DIALOGEX 0, 0, 265, 312",
     "IDD_SETTINGS DIALOGEX 0, 0, 265, 372",
     "app_schedule_tests", "SettingsDialogTest.EachProgramFieldIsOnItsPageAndStoredUnderItsKey"),
    ("task-xml-ampersand-unescaped", "wrong text", "ui/backstop_task.cpp",
     '            escaped.AppendChars(L"&amp;", 0);',
     '            escaped.AppendChars(L"&", 0);',
     "ui_tests", "BackstopTask.TheXmlIsWellFormedForAnyPathAndUserAndCarriesTheRunAndItsSettings"),
    ("task-allows-parallel-instances", "wrong text", "ui/backstop_task.cpp",
     "<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
     "<MultipleInstancesPolicy>Parallel</MultipleInstancesPolicy>",
     "ui_tests", "BackstopTask.TheXmlIsWellFormedForAnyPathAndUserAndCarriesTheRunAndItsSettings"),
    ("task-name-keeps-letter-case", "skipped step", "core/path.cpp",
     "    CharUpperBuffW(key.Buffer(), static_cast<DWORD>(key.Length()));",
     "    key.Buffer();",
     "ui_tests", "BackstopTask.OneFolderInAnyLetterCaseHasOneNameAndTwoFoldersTwo"),
    ("cleared-box-keeps-task", "skipped step", "ui/autostart.cpp",
     "    key.Close();\n    FollowWithBackstopTask(false);",
     "    key.Close();",
     "app_autostart_tests", "AutostartTest.TickingRegistersTheBackstopTaskAndClearingDeletesIt"),
    ("denied-value-still-registers-task", "wrong comparison", "ui/autostart.cpp",
     "        FollowWithBackstopTask(written);",
     "        FollowWithBackstopTask(true);",
     "app_autostart_tests", "AutostartTest.ADeniedKeySaysSoAndClearsTheBox"),
    # app
    ("closeapp-before-stop", "wrong order", "app/main_window.cpp",
     "        StopMonitoringNow();\n        CloseMonitoredPrograms();",
     "        CloseMonitoredPrograms();",
     "app_tests", "AppTest.AnUnattendedStartWatchesTheOthersAndWaitsForAMissingFile"),
    ("guardian-never-started", "skipped step", "app/main_window.cpp",
     "    if (SelfGuardOn())\n        KeepGuardian(adopted);",
     "    if (false)\n        KeepGuardian(adopted);",
     "app_tests", "AppTest.TheGuardianBringsTollwickBackAfterAKillOrAFrozenWindowButNotAfterAQuit"),
    ("guardian-restart-forgets-monitoring", "wrong state", "app/main_window.cpp",
     "    if (g_startOptions.kind == StartKind::ByGuardian)\n        return g_wasMonitoring;",
     "",
     "app_tests", "AppTest.TheGuardianBringsTollwickBackAfterAKillOrAFrozenWindowButNotAfterAQuit"),
    ("guardian-ignores-a-frozen-window", "skipped check", "app/guardian.cpp",
     "        if (GetTickCount64() - answered < kHungWindowMs)\n            continue;",
     "        continue;",
     "app_tests", "AppTest.TheGuardianBringsTollwickBackAfterAKillOrAFrozenWindowButNotAfterAQuit"),
    ("reboot-time-saved-unpadded", "wrong text", "app/main_window.cpp",
     'time.Format(L"%02d:%02d:%02d", GetDlgItemInt',
     'time.Format(L"%02d:%02d:%d", GetDlgItemInt',
     "app_tests", "AppTest.TheFirstRunOpensOnTheProgramListAndTheQuitSavesTheSettingsPage"),
    ("end-session-not-saved", "skipped save", "app/main_window.cpp",
     "        WriteSettingsPanel();\n        g_config.Save();\n        g_errorLog.Add({EventKind::TollwickExit}",
     "        WriteSettingsPanel();\n        g_errorLog.Add({EventKind::TollwickExit}",
     "app_tests", "AppTest.AStartAndStopCycleSwitchesTheWindowAndTheEndOfTheSessionSaves"),
    ("second-tollwick-in-one-folder", "skipped check", "app/one_per_folder.cpp",
     "    if (error == ERROR_ALREADY_EXISTS || (!mutex->IsValid()",
     "    if (false && (!mutex->IsValid()",
     "app_tests", "AppTest.ASecondStartInTheSameFolderEndsAndShowsTheFirstOnlyToAPerson"),
    ("every-second-start-shows-the-window", "wrong comparison", "app/main_window.cpp",
     "        if (options.kind == StartKind::Person)\n            ShowRunningTollwick",
     "        if (options.kind != StartKind::GuardRole)\n            ShowRunningTollwick",
     "app_tests", "AppTest.ASecondStartInTheSameFolderEndsAndShowsTheFirstOnlyToAPerson"),
    ("hung-restart-read-as-crash", "wrong text", "app/start_options.cpp",
     'bool hung = Is(arguments[2], L"hung");',
     'bool hung = Is(arguments[2], L"hang");',
     "app_tests", "StartOptionsTest.EachSwitchIsReadAndAnythingElseIsAPersonsStart"),
    ("quit-not-marked-for-the-backstop", "skipped step", "app/main_window.cpp",
     "    WriteRunState(LogFolderPath(), RunEnd::Quit);\n",
     "",
     "app_log_tests", "AppLogTest.ABackstopStartAfterAQuitEndsAtOnceAndAfterAKillRuns"),
    ("unclean-end-after-every-start", "skipped check", "app/main_window.cpp",
     "    if (lastEnd != RunEnd::Running)\n        return;",
     "    if (lastEnd == RunEnd::Session)\n        return;",
     "app_log_tests", "AppLogTest.AStartAfterAKillLogsTheUncleanEndAndOneAfterAQuitDoesNot"),
    ("older-autostart-value-not-rewritten", "skipped step", "ui/autostart.cpp",
     "    if (!IsOwnValue(key, &upgraded) || upgraded)\n        return true;",
     "    if (IsOwnValue(key, &upgraded) || upgraded)\n        return true;",
     "app_autostart_tests", "AutostartTest.AValueOfTheOlderFormKeepsTheTickAndIsRewritten"),
    # events for a fleet
    ("event-kind-id-reused", "wrong value", "monitor/events.cpp",
     '{"hang_kill", 202, EventLevel::Warning},',
     '{"hang_kill", 201, EventLevel::Warning},',
     "engine_tests", "EventKinds.*"),
    ("error-box-event-without-program", "lost data", "monitor/crash_dialog.cpp",
     "g_errorLog.Add(ProgramEvent(EventKind::ErrorWindowClosed, index), text.c_str());",
     "g_errorLog.Add({EventKind::ErrorWindowClosed}, text.c_str());",
     "engine_tests", "MonitorTest.ItsOwnErrorBoxAndAnotherProcesssCrashReportAreClosed"),
    ("backoff-restarts-not-counted", "skipped step", "monitor/launch.cpp",
     "    // Counted whether or not the backoff logs it.\n    CountProgramEvent(index, ProgramCounter::Restart);\n",
     "",
     "engine_tests", "MonitorTest.ACrashLoopIsRestartedOneTwoFourPeriodsApartThenAtOnceAfterAStableRun"),
    ("health-event-without-check", "lost data", "monitor/health_check.cpp",
     "g_errorLog.Add(ProgramEvent(EventKind::HealthFailure, index, id), line.c_str());",
     "g_errorLog.Add(ProgramEvent(EventKind::HealthFailure, index), line.c_str());",
     "engine_tests", "MonitorTest.AStaleHeartbeatClosesTheProgramAfterTheGraceAndTwoCyclesAndOnlyWithTheCheckOn"),
    ("failed-start-event-names-no-program", "lost data", "monitor/fleet.cpp",
     "        out->entry = out->path.IsEmpty() ? 0 : event.program + 1;",
     "        out->entry = out->path.IsEmpty() ? 0 : event.program;",
     "engine_tests", "ProgramTableTest.AFailedLaunchIsLoggedAsAFailureAndStaysRed"),
    ("clean-exit-leaves-tollwick-up", "wrong value", "monitor/fleet.cpp",
     "    if (g_metricsOn)\n        WriteMetrics(work, false);",
     "    if (g_metricsOn)\n        WriteMetrics(work, true);",
     "app_fleet_tests", "AppTest.*"),
    ("exit-leaves-the-outputs-unflushed", "skipped step", "app/main_window.cpp",
     "    g_config.Save();\n    StopFleet();",
     "    g_config.Save();",
     "app_fleet_tests", "AppTest.*"),
    ("logging-waits-for-the-receiver", "wrong thread", "monitor/webhook.cpp",
     "    if (g_sender)\n        g_sender->queue.Push(event);",
     "    if (g_sender) {\n        g_sender->queue.Push(event);\n"
     "        for (int i = 0; i < 300 && g_sender->queue.Count(); ++i)\n            Sleep(10);\n    }",
     "engine_tests", "MonitorTest.ASilentWebhookReceiverLeavesRestartsOnTime"),
]


# The file a fault is applied to, with its committed text, until put back.
applied = None
# The build or test run going on: its own session, so that a stop reaches
# every process of it (Wine's too) and none outlives the script.
running = None


def run(command):
    global running
    running = subprocess.Popen(command, cwd=HERE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               errors="replace", start_new_session=True)
    try:
        output = running.communicate()[0]
        return running.returncode, output
    finally:
        running = None


def put_back():
    global applied
    if applied:
        path, original = applied
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)
        applied = None


def stop(signum, frame):
    put_back()
    child = running
    if child and child.poll() is None:
        # Its shell's exit trap stops the virtual display and this prefix's
        # wineserver once the test program has ended.
        try:
            os.killpg(child.pid, signal.SIGTERM)
            child.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    print(f"fault-check: stopped by signal {signum}; the product files are as committed", flush=True)
    sys.exit(128 + signum)


def run_tests(program, test_filter):
    # --foreground keeps timeout in the run's process group, where a stop
    # reaches it and the test program.
    script = (
        '. tools/virtual-display.sh && tollwick_wine_environment "$PWD" && '
        'tollwick_start_display && tollwick_start_wine && '
        'timeout --foreground 600 tools/wine.sh "$0" --gtest_color=no --gtest_filter="$1"'
    )
    exe = os.path.join("build", "x64", "tests", program + ".exe")
    if program == "app_fleet_tests":
        # Only beside the outside parts it talks to.
        script = script.replace('tools/wine.sh "$0"', 'bash tests/fleet/with_peers.sh "$0"')
    return run(["bash", "-c", script, exe, test_filter])


def build(program):
    targets = [program] + (["Tollwick"] if program.startswith("app_") else [])
    for target in targets:
        code, output = run(["cmake", "--build", "build/x64", "-j2", "--target", target])
        if code != 0:
            return False, output
    return True, ""


def check(fault):
    global applied
    name, kind, path, find, replace, program, test_filter = fault
    full = os.path.join(HERE, path)
    with open(full, encoding="utf-8") as f:
        original = f.read()
    if original.count(find) != 1:
        return "NOT APPLIED (the code to change is not there once)"
    try:
        applied = (full, original)
        with open(full, "w", encoding="utf-8") as f:
            f.write(original.replace(find, replace))
        built, output = build(program)
        if not built:
            return "NOT APPLIED (the fault does not build)\n" + output[-2000:]
        code, output = run_tests(program, test_filter)
        return "caught" if code != 0 else "MISSED\n" + output[-2000:]
    finally:
        put_back()


# The files of the faults that differ from the commit in any way: changed,
# staged or untracked.
def uncommitted(paths):
    if not paths:
        return []
    result = subprocess.run(["git", "status", "--porcelain", "--untracked-files=all", "--"] + sorted(paths),
                            cwd=HERE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    if result.returncode != 0:
        return [result.stdout.strip() or "git status failed"]
    return sorted({line[3:] for line in result.stdout.splitlines() if line.strip()})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", help="check only the fault of this name")
    parser.add_argument("--list", action="store_true", help="list the faults and the tests that catch them")
    args = parser.parse_args()
    faults = [f for f in FAULTS if not args.only or f[0] == args.only]
    if args.list:
        for f in faults:
            print(f"{f[0]:32} {f[1]:17} {f[2]:24} {f[5]}: {f[6]}")
        return 0
    changed = uncommitted({f[2] for f in faults})
    if changed:
        print("fault-check: refusing to start: these files differ from the commit, and a fault applied to them could "
              "be committed with them:\n  " + "\n  ".join(changed) + "\nCommit or stash them first.", file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    missed = 0
    for fault in faults:
        verdict = check(fault)
        print(f"{fault[0]:34} {verdict}", flush=True)
        missed += verdict != "caught"
    # The product as it is, rebuilt.
    for program in sorted({f[5] for f in faults}):
        build(program)
    print(f"fault-check: {len(faults) - missed} of {len(faults)} faults caught")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
