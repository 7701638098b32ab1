# Sourced by the scripts that run Wine: the project prefix's environment, a
# private Xvfb display, and the stop of both (this prefix's wineserver and
# the Xvfb started here, nothing else) when the script exits.

tollwick_tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tools/wine.sh
. "$tollwick_tools_dir/wine.sh"

# Exports the Wine environment of the project in $1 and arranges the stop.
tollwick_wine_environment() {
  export WINEPREFIX="$1/deps/wineprefix"
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  trap tollwick_stop_display EXIT
  trap 'exit 130' INT TERM
}

tollwick_xvfb_pid=""

tollwick_stop_display() {
  if [ -n "${WINEPREFIX:-}" ]; then
    WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "$tollwick_xvfb_pid" ]; then
    kill "$tollwick_xvfb_pid" 2>/dev/null || true
    wait "$tollwick_xvfb_pid" 2>/dev/null || true
    tollwick_xvfb_pid=""
  fi
}

# Whether $DISPLAY names an X display that answers. A DISPLAY left over from
# a closed session would make every Wine window fail.
tollwick_display_answers() {
  [ -n "${DISPLAY:-}" ] && timeout 10 xdotool getdisplaygeometry >/dev/null 2>&1
}

# Starts Xvfb on a display number it picks itself and exports DISPLAY.
tollwick_start_display() {
  if ! command -v Xvfb >/dev/null; then
    echo "could not start a virtual display: Xvfb is not installed (tools/setup.sh installs it)" >&2
    return 1
  fi
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  tollwick_xvfb_pid=$!
  local number=""
  read -r -t 20 number <"$fifo" || true
  rm -f "$fifo"
  if [ -z "$number" ]; then
    echo "could not start a virtual display: Xvfb gave no display number within 20 s" >&2
    return 1
  fi
  export DISPLAY=":$number"
}

# Uses $DISPLAY when it answers, otherwise a private display (saying why when
# a DISPLAY was set).
tollwick_use_some_display() {
  tollwick_display_answers && return 0
  if [ -n "${DISPLAY:-}" ]; then
    echo "the display $DISPLAY does not answer; using a private virtual display instead" >&2
  fi
  tollwick_start_display
}

# Starts this prefix's wineserver and its background services with their
# output going nowhere. Started by the first test program instead, they would
# inherit its output pipe and keep ctest waiting for it to close.
tollwick_start_wine() {
  tollwick_wine_loader || return 1
  wineserver -p
  timeout 120 "$BASH" "$tollwick_tools_dir/wine.sh" cmd.exe /c exit </dev/null >/dev/null 2>&1
}
