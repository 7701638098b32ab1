#!/usr/bin/env bash
# Runs the fleet test program (the argument) under Wine beside the real outside
# parts a fleet uses: Debian's prometheus-node-exporter reading the textfile
# folder that Tollwick writes to, and a webhook receiver (Python's
# http.server) on 127.0.0.1. Afterwards promtool checks every metrics file the
# test left. Ends what it started by process id.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
program=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tollwick-fleet.XXXXXX") || exit 1
mkdir -p "$work/textfile"
pids=()
finish() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap finish EXIT

python3 "$here/tests/fleet/receiver.py" "$work/receiver.port" "$work/events.jsonl" &
pids+=($!)

# A free port for the exporter, asked of the system.
exporter_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter_port" \
  --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$work/textfile" >"$work/exporter.log" 2>&1 &
pids+=($!)

answers() { python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=2)' "$1" 2>/dev/null; }
for _ in $(seq 100); do
  [ -s "$work/receiver.port" ] && answers "http://127.0.0.1:$exporter_port/metrics" && break
  sleep 0.1
done
if ! [ -s "$work/receiver.port" ]; then
  echo "fleet: the receiver did not start" >&2
  exit 1
fi
if ! answers "http://127.0.0.1:$exporter_port/metrics"; then
  echo "fleet: node exporter did not start:" >&2
  cat "$work/exporter.log" >&2
  exit 1
fi

windows_path() { echo "Z:${1//\//\\}"; }
export TOLLWICK_TEXTFILE_DIR TOLLWICK_EVENTS_FILE TOLLWICK_RECEIVER_URL TOLLWICK_EXPORTER_URL
TOLLWICK_TEXTFILE_DIR=$(windows_path "$work/textfile")
TOLLWICK_EVENTS_FILE=$(windows_path "$work/events.jsonl")
TOLLWICK_RECEIVER_URL="http://127.0.0.1:$(cat "$work/receiver.port")/events"
TOLLWICK_EXPORTER_URL="http://127.0.0.1:$exporter_port/metrics"

bash "$here/tools/wine-run.sh" "$program" --gtest_color=no "${@:2}"
status=$?

# Every file the test left: the one served during the run and the last one.
checked=0
for file in "$work"/textfile/*.prom "$work"/*.prom; do
  [ -f "$file" ] || continue
  checked=$((checked + 1))
  if ! promtool check metrics <"$file"; then
    echo "fleet: promtool finds fault with $(basename "$file"):" >&2
    cat "$file" >&2
    status=1
  fi
done
if [ "$status" -eq 0 ] && [ "$checked" -lt 2 ]; then
  echo "fleet: expected the run's and the last metrics file, found $checked" >&2
  status=1
fi
exit $status
