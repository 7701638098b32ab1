#!/usr/bin/env bash
# Takes the README's screenshots: Tollwick monitoring the demo program on a
# private virtual display, one PNG per tab page, written to docs/.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash tools/setup.sh || exit 1
bash tools/build.sh x64 || exit 1

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
# shellcheck source=tools/demo.sh
. tools/demo.sh
tollwick_wine_environment "$here"
unset DISPLAY
tollwick_start_display || exit 1
tollwick_start_wine || exit 1
tollwick_prepare_demo "$here/build/x64" || exit 1
tollwick_wine "$tollwick_demo_dir/Tollwick.exe" &
# Long enough for the demo program to exit once and be started again, so the
# pages show a restart and its log line.
sleep "${SCREENSHOT_WAIT:-30}"
mkdir -p docs
tollwick_wine build/x64/tests/tollwick_capture.exe tabs "$(tollwick_wine winepath.exe -w "$here/docs")" || exit 1
echo "screenshots: docs/tab-0.png ... docs/tab-4.png"
