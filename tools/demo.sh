# Sourced by the scripts that show Tollwick at work: a folder (ignored by git)
# holding Tollwick.exe and a config.xml that watches the demo program, which
# exits or stops answering every 20 seconds. Needs the Wine environment.

# Prepares $1/demo of the build folder $1 and sets tollwick_demo_dir.
tollwick_prepare_demo() {
  local build="$1"
  tollwick_demo_dir="$build/demo"
  [ -f "$tollwick_demo_dir/tollwick_demo.exe" ] || {
    echo "demo: $tollwick_demo_dir/tollwick_demo.exe is missing; build first" >&2
    return 1
  }
  cp "$build/Tollwick.exe" "$tollwick_demo_dir/" || return 1
  rm -f "$tollwick_demo_dir/demo-starts.txt"
  local program
  program=$(tollwick_wine winepath.exe -w "$tollwick_demo_dir/tollwick_demo.exe" 2>/dev/null) || return 1
  # The configuration is GB2312, as Tollwick writes it; the demo starts afresh
  # each time, so a newcomer always sees it monitoring.
  {
    echo '<?xml version="1.0" encoding="gb2312" ?>'
    echo '<config bootstart="0" monitortime="5" closeapp="1" unresponsetime="5" autoreboot="0"' \
      'reboottime="03:00:00" autostartmonitor="1" hidetray="0">'
    echo "    <config hwnd=\"0\" title=\"Tollwick 演示程序\" classname=\"TollwickDemoWnd\"" \
      "procpath=\"$program\" procname=\"tollwick_demo.exe\" errflag=\"\" />"
    echo '</config>'
  } | iconv -f UTF-8 -t GB2312 >"$tollwick_demo_dir/config.xml" || return 1
}
