#!/usr/bin/env bash
# Builds the x64 engine benchmark and runs it under Wine on a private virtual
# display; it prints its figures. Arguments go to the benchmark (--quick).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash tools/setup.sh || exit 1
bash tools/build.sh x64 || exit 1

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
tollwick_wine_environment "$here"
tollwick_start_display || exit 1
tollwick_start_wine || exit 1
# This prefix's wineserver, for the benchmark's figures of the time spent
# there: its working folder is named after the prefix's device and inode.
server_dir="server-$(printf %x "$(stat -c %d "$WINEPREFIX")")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
for pid in $(pgrep -x 'wineserver64|wineserver' 2>/dev/null); do
  case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
    */"$server_dir") export TOLLWICK_WINESERVER_PID="$pid" ;;
  esac
done
# An HTTP peer outside the benchmark's process for the health checks' idle
# cost: Python's http.server on a free port of 127.0.0.1, ended by its id.
peer_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$here/docs" "$peer_port" >/dev/null 2>&1 &
peer_pid=$!
# And a webhook receiver for the fleet outputs' figures (the test suite's).
receiver_dir=$(mktemp -d)
python3 "$here/tests/fleet/receiver.py" "$receiver_dir/port" "$receiver_dir/events" &
receiver_pid=$!
trap 'kill "$peer_pid" "$receiver_pid" 2>/dev/null; rm -rf "$receiver_dir"; tollwick_stop_display' EXIT
export TOLLWICK_BENCH_PEER_URL="http://127.0.0.1:$peer_port/"
for _ in $(seq 50); do [ -s "$receiver_dir/port" ] && break; sleep 0.1; done
export TOLLWICK_BENCH_RECEIVER_URL="http://127.0.0.1:$(cat "$receiver_dir/port" 2>/dev/null)/events"
engine="${TOLLWICK_BENCH_EXE:-build/x64/tests/engine_bench.exe}"
tollwick_wine "$engine" "$@"
