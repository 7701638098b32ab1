#!/usr/bin/env bash
# Takes the README's pictures of the current program, on a private virtual
# display: a new user's drag of the finder onto the demo program
# (docs/drag.png), then, after monitoring has run a while, each tab page
# (docs/tab-0.png ... docs/tab-4.png) and the dialog "高级配置" on its page
# "健康检查" (docs/settings.png), where it gives the demo program a heartbeat
# check that fails (docs/health-list.png, docs/health-info.png), and then the
# demo program's restarts held back by the crash-loop backoff
# (docs/backoff-info.png, docs/backoff-list.png). Tollwick runs from
# C:\Tollwick and the demo program from C:\Demo inside the Wine prefix, so the
# pictures show paths a user would have, not this checkout's. Part of the
# release steps (make release).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash tools/setup.sh || exit 1
bash tools/build.sh x64 || exit 1

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
tollwick_wine_environment "$here"
program_dir="$WINEPREFIX/drive_c/Tollwick"
demo_dir="$WINEPREFIX/drive_c/Demo"
compositor=""
trap '[ -n "$compositor" ] && kill "$compositor" 2>/dev/null; tollwick_stop_display; rm -rf "$program_dir" "$demo_dir"' EXIT
unset DISPLAY
tollwick_start_display || exit 1
# A compositing manager blends translucent windows as Windows does; without
# one the finder's dimming overlay would show opaque black.
xcompmgr >/dev/null 2>&1 &
compositor=$!
tollwick_start_wine || exit 1

fail() {
  echo "screenshots: $*" >&2
  exit 1
}

capture() {
  tollwick_wine build/x64/tools/tollwick_capture.exe "$@" || fail "capture $1 failed"
}

rm -rf "$program_dir" "$demo_dir"
mkdir -p "$program_dir" "$demo_dir" docs
cp build/x64/Tollwick.exe "$program_dir/" || exit 1
cp build/x64/demo/tollwick_demo.exe "$demo_dir/" || exit 1

# A first run's settings with the schedule in use, so that the countdown page
# and the dialog show it: a daily restart, a daily close and a daily run,
# on whole hours (UTC+8) at least seven hours away from now, so that none of
# them comes during the run.
now=$(date +%s)
utc8() { date -u -d "@$((now + 8 * 3600 + $1 * 3600))" "$2"; }
close_at=$(utc8 8 '+%Y-%m-%d %H:00:00')
run_at=$(utc8 16 '+%Y-%m-%d %H:00:00')
reboot_at=$(utc8 12 '+%H:30:00')
{
  echo '<?xml version="1.0" encoding="gb2312" ?>'
  echo "<config bootstart=\"0\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" autoreboot=\"1\"" \
    "reboottime=\"$reboot_at\" autostartmonitor=\"0\" timingclosecheck=\"1\" timingclosecheck_everyday=\"1\"" \
    "timingclose_everyday_time=\"$close_at\" timingruncheck=\"1\" timingruncheck_everyday=\"1\"" \
    "timingrun_everyday_time=\"$run_at\" />"
} | iconv -f UTF-8 -t GB2312 >"$program_dir/config.xml" || exit 1

tollwick_wine 'C:\Tollwick\Tollwick.exe' &
tollwick_wine 'C:\Demo\tollwick_demo.exe' &
sleep 5
# Added the way a new user adds a program, then watched.
capture drag "$(tollwick_wine winepath.exe -w "$here/docs/drag.png")"
capture click 10100
# Long enough for the demo program to exit and be started again, and then to
# hang and be killed, so the pages show the restarts, the kill, their log
# lines and a running uptime.
sleep "${SCREENSHOT_WAIT:-65}"
capture tabs "$(tollwick_wine winepath.exe -w "$here/docs")"
capture settings "$(tollwick_wine winepath.exe -w "$here/docs/settings.png")"
# The dialog left the demo program a heartbeat check that fails.
capture health "$(tollwick_wine winepath.exe -w "$here/docs")"
# The demo program dies sooner than its stable time after every start: its
# fourth held restart comes about two and a half minutes in.
capture backoff "$(tollwick_wine winepath.exe -w "$here/docs")"
echo "screenshots: docs/drag.png, docs/tab-0.png ... docs/tab-4.png, docs/settings.png, docs/health-list.png," \
  "docs/health-info.png, docs/backoff-info.png, docs/backoff-list.png"
