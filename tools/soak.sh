#!/usr/bin/env bash
# Builds Tollwick and the soak driver and runs the driver under Wine on a
# private virtual display, in a Wine prefix of its own (deps/soak-prefix, made
# on the first run), so that it never disturbs the tests' prefix. The driver
# runs the real Tollwick.exe against ten helpers that crash, exit, hang and
# show error dialogs, then prints its report; its exit code is this script's.
#
#   tools/soak.sh [--minutes N] [--arch x64|x86] [--seed S] [--only KIND]
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

arch=x64
minutes=10
driver_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="${2:?--arch needs x64 or x86}"; shift 2 ;;
    --minutes) minutes="${2:?--minutes needs a number}"; driver_args+=(--minutes "$2"); shift 2 ;;
    --seed) driver_args+=(--seed "${2:?--seed needs a number}"); shift 2 ;;
    --only) driver_args+=(--only "${2:?--only needs a kind}"); shift 2 ;;
    *)
      echo "soak: unknown argument $1 (use --minutes N, --arch x64|x86, --seed S, --only KIND)" >&2
      exit 2
      ;;
  esac
done
case "$arch" in x64 | x86) ;; *) echo "soak: --arch is x64 or x86" >&2; exit 2 ;; esac
case "$minutes" in '' | *[!0-9.]*) echo "soak: --minutes takes a number" >&2; exit 2 ;; esac

bash tools/setup.sh || exit 1
bash tools/build.sh "$arch" || exit 1

prefix="$here/deps/soak-prefix"
if [ ! -f "$prefix/system.reg" ]; then
  echo "soak: making the Wine prefix $prefix"
  bash tools/new-prefix.sh "$prefix" || exit 1
fi

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
tollwick_wine_environment "$here"
# The exit trap stops the wineserver of $WINEPREFIX as it is then: this one.
export WINEPREFIX="$prefix"
tollwick_start_display || exit 1
tollwick_start_wine || exit 1
if [ "$arch" = x86 ]; then
  tollwick_probe_x86 build/x86/tests/bitness_probe.exe
  if [ -n "$tollwick_x86_skip" ]; then
    echo "soak: the x86 build cannot run here: $tollwick_x86_skip" >&2
    exit 1
  fi
fi
# No window manager runs on the virtual display, and Wine is told so: else it
# waits 2 s for one at every window it hides, a closing error dialog blocks
# its program that long, and the hang check sees a hang that is not there.
tollwick_wine reg.exe add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1

# The run, its start-up, the drain of the last failures and the checks, with
# room to spare; past that something hangs and the run is ended.
limit=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 + 420 }')
timeout --kill-after=20 "$limit" "$BASH" tools/wine.sh "build/$arch/tests/tollwick_soak.exe" "${driver_args[@]}"
status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "soak: the driver did not finish within $limit s" >&2
fi
exit $status
