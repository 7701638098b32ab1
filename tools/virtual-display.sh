# Sourced by the scripts that run Wine: the project prefix's environment, a
# private Xvfb display, and the stop of both (this prefix's wineserver and
# the Xvfb started here, nothing else) when the script exits.

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

# Starts Xvfb on a display number it picks itself and exports DISPLAY.
tollwick_start_display() {
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  tollwick_xvfb_pid=$!
  local number=""
  read -r -t 20 number <"$fifo" || true
  rm -f "$fifo"
  if [ -z "$number" ]; then
    echo "could not start Xvfb" >&2
    return 1
  fi
  export DISPLAY=":$number"
}

# Starts this prefix's wineserver and its background services with their
# output going nowhere. Started by the first test program instead, they would
# inherit its output pipe and keep ctest waiting for it to close.
tollwick_start_wine() {
  wineserver -p
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1
}
