#!/usr/bin/env python3
"""Checks that the test suite catches deliberate faults in the product code.

Each fault below replaces one piece of product code with a plausible mistake
(an off-by-one, a dropped lock, a wrong comparison, a skipped close, a wrong
text). For each, the script applies the fault, rebuilds the x64 test program
that should catch it, runs the named tests under Wine and expects them to
fail; then it restores the file. It prints one line per fault and exits
non-zero when a fault goes unnoticed or cannot be applied.

    python3 tools/fault-check.py [--only NAME] [--list]

Run it after changing tests: every fault must still be caught. It needs the
x64 build (make build) and runs Wine through tools/virtual-display.sh.
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, file, text to find (exactly once), replacement, test program, gtest filter
FAULTS = [
    ("launcher-not-attached", "monitor/launch.cpp",
     "    *attached = processId != 0;\n    if (!processId)",
     "    processId = 0;\n    *attached = false;\n    if (!processId)",
     "engine_tests", "MonitorTest.ALauncherLeavesExactlyOneCopyRunning"),
    ("paths-compared-as-text", "core/path.cpp",
     "    const PathView& view = ThisProcessPathView();\n    if (SamePath(a, b, view))\n        return true;",
     "    return a && b && _wcsicmp(a, b) == 0;\n    const PathView& view = ThisProcessPathView();\n    if (SamePath(a, b, view))\n        return true;",
     "engine_tests", "MonitorTest.APathInAnotherFormIsTheSameProgram"),
    ("crash-check-closes-twins", "monitor/crash_dialog.cpp",
     "    CopyInstanceIds(static_cast<size_t>(-1), &instances);",
     "    instances.Append(ProgramProcessId(index));",
     "engine_tests", "MonitorTest.TwoInstancesOfOneProgramNeitherMergeNorCloseEachOther"),
    ("late-window-never-found", "monitor/hang_check.cpp",
     "    if (!IsWindow(window))\n        window = FindLateWindow(index, processId);",
     "    if (!IsWindow(window))\n        window = nullptr;",
     "engine_tests", "MonitorTest.AWindowThatAppearsLateIsHangCheckedOnceFound"),
    ("no-startup-allowance", "monitor/hang_check.cpp",
     "    if (!answered && GetTickCount64() - started < StartupAllowanceMs()) {",
     "    if (false) {",
     "engine_tests", "MonitorTest.ASlowStarterIsNotKilledWhileItStarts"),
    ("refused-kill-reported-as-kill", "monitor/hang_check.cpp",
     "        if (KillProgramProcess(index))",
     "        if (KillProgramProcess(index) || true)",
     "engine_tests", "MonitorTest.AKillThatIsRefusedIsLoggedAndNoCopyStarts"),
    ("failed-start-logged-every-time", "monitor/launch.cpp",
     "    if (NoteStartResult(index, error))",
     "    if (NoteStartResult(index, error) || true)",
     "engine_tests", "LaunchTest.AFailedLaunchIsLoggedAsAFailureAndStaysRed"),
    ("attach-by-file-name", "monitor/program_table.cpp",
     "            SamePath(GetProcessIdImagePath(owner).c_str(), path.c_str())) {",
     "            true) {",
     "engine_tests", "ProgramTableTest.StoredWindowAttachesOnlyToItsOwnExecutable"),
    ("log-capacity-off-by-one", "monitor/error_log.cpp",
     "        if (m_entries.Count() < kLogCapacity) {",
     "        if (m_entries.Count() <= kLogCapacity) {",
     "engine_tests", "ErrorLogTest.OnlyTheNewestEntriesAreKeptAndNumberedOn"),
    ("closeapp-before-stop", "app/main_window.cpp",
     "        StopMonitoringNow();\n        CloseMonitoredPrograms();",
     "        CloseMonitoredPrograms();",
     "app_tests", "AppTest.CloseappClosesTheMonitoredProgramsAtExit"),
    ("unattended-start-asks", "ui/monitor_command.cpp",
     "    if (!unattended && !CheckExecutables()) {",
     "    if (!CheckExecutables()) {",
     "app_tests", "AppTest.AnUnattendedStartWatchesTheOthersAndWaitsForAMissingFile"),
]


def run_tests(program, test_filter):
    script = (
        '. tools/virtual-display.sh && tollwick_wine_environment "$PWD" && '
        'tollwick_start_display && tollwick_start_wine && '
        'timeout 600 tools/wine.sh "$0" --gtest_color=no --gtest_filter="$1"'
    )
    exe = os.path.join("build", "x64", "tests", program + ".exe")
    result = subprocess.run(["bash", "-c", script, exe, test_filter], cwd=HERE,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def build(program):
    targets = [program] + (["Tollwick"] if program.startswith("app_") else [])
    for target in targets:
        result = subprocess.run(["cmake", "--build", "build/x64", "-j2", "--target", target], cwd=HERE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            return False, result.stdout
    return True, ""


def check(fault):
    name, path, find, replace, program, test_filter = fault
    full = os.path.join(HERE, path)
    with open(full, encoding="utf-8") as f:
        original = f.read()
    if original.count(find) != 1:
        return "NOT APPLIED (the code to change is not there once)"
    try:
        with open(full, "w", encoding="utf-8") as f:
            f.write(original.replace(find, replace))
        built, output = build(program)
        if not built:
            return "NOT APPLIED (the fault does not build)\n" + output[-2000:]
        code, output = run_tests(program, test_filter)
        return "caught" if code != 0 else "MISSED\n" + output[-2000:]
    finally:
        with open(full, "w", encoding="utf-8") as f:
            f.write(original)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", help="check only the fault of this name")
    parser.add_argument("--list", action="store_true", help="list the faults and the tests that catch them")
    args = parser.parse_args()
    faults = [f for f in FAULTS if not args.only or f[0] == args.only]
    if args.list:
        for f in faults:
            print(f"{f[0]:34} {f[1]:28} {f[4]}: {f[5]}")
        return 0
    missed = 0
    for fault in faults:
        verdict = check(fault)
        print(f"{fault[0]:34} {verdict}", flush=True)
        missed += verdict != "caught"
    # The product as it is, rebuilt.
    for program in sorted({f[4] for f in faults}):
        build(program)
    print(f"fault-check: {len(faults) - missed} of {len(faults)} faults caught")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
