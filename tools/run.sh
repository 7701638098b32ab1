#!/usr/bin/env bash
# Builds the x64 program and starts it under Wine: on $DISPLAY when there is
# one, otherwise on a private virtual display. Its config.xml is kept beside
# the executable, in build/x64/.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash tools/setup.sh || exit 1
bash tools/build.sh x64 || exit 1

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
tollwick_wine_environment "$here"
if [ -z "${DISPLAY:-}" ]; then
  tollwick_start_display || exit 1
  echo "run: no DISPLAY, so Tollwick runs on the virtual display $DISPLAY"
fi
tollwick_start_wine
echo "run: starting build/x64/Tollwick.exe"
wine build/x64/Tollwick.exe
status=$?
echo "run: Tollwick ended with exit code $status; its settings: build/x64/config.xml"
exit $status
