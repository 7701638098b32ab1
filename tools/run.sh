#!/usr/bin/env bash
# Builds the x64 program and shows it at work under Wine: Tollwick starts in
# the demo folder build/x64/demo, monitoring a demo program that exits or hangs
# every 20 seconds, so the restarts and kills show at once. It runs on $DISPLAY
# when there is one, otherwise on a private virtual display.
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
if ! tollwick_display_answers; then
  tollwick_use_some_display || exit 1
  echo "run: Tollwick runs on the private virtual display $DISPLAY"
fi
tollwick_start_wine || exit 1
tollwick_prepare_demo "$here/build/x64" || exit 1
demo="$tollwick_demo_dir"

echo "run: demo folder:   $demo"
echo "run: configuration: $demo/config.xml"
tollwick_wine "$demo/Tollwick.exe" &
tollwick=$!
sleep 8
if tollwick_wine build/x64/tools/tollwick_capture.exe screen "$(tollwick_wine winepath.exe -w "$demo/screenshot.png")"; then
  echo "run: screenshot:    $demo/screenshot.png"
fi
echo "run: Tollwick is monitoring the demo program. To stop, choose \"&Q.退出\" in its"
echo "run: tray menu, or press Ctrl+C here (that ends this run's Wine processes)."
wait "$tollwick"
status=$?
echo "run: Tollwick ended with exit code $status; its settings: $demo/config.xml"
exit $status
