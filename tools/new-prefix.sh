#!/usr/bin/env bash
# Makes (or completes) a 64-bit Wine prefix in the folder $1 with the settings
# Tollwick's tests and runs need. It uses $DISPLAY when that display answers
# and a private one otherwise, and stops what it started before it returns.
# Each step that fails says what it was doing and what Wine answered.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix="${1:?usage: new-prefix.sh PREFIX}"
if ! mkdir -p "$prefix"; then
  echo "new-prefix: cannot make the folder $prefix" >&2
  exit 1
fi
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: their installers would ask on screen.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# shellcheck source=tools/virtual-display.sh
. "$here/tools/virtual-display.sh"
trap tollwick_stop_display EXIT

fail() {
  echo "new-prefix: $*" >&2
  exit 1
}

# Runs the command after the description; on failure prints the description
# and the command's own output, and stops.
step() {
  local what="$1" output
  shift
  if ! output=$("$@" 2>&1 </dev/null); then
    fail "could not $what: $(echo "$output" | tail -n 3 | tr '\n' ' ')"
  fi
}

tollwick_wine_loader || fail "no Wine loader can start on this machine"
tollwick_use_some_display || fail "no display to make the prefix on"
# wineboot reports failures of single components (32-bit ones among them on
# a machine that runs no 32-bit code) that do not spoil the prefix; the
# registry steps below tell whether it works.
timeout 600 "$TOLLWICK_WINE_LOADER" wineboot.exe -i >/dev/null 2>&1 </dev/null
[ -d "$prefix/drive_c" ] || fail "wineboot made no drive_c in $prefix"

# A helper that crashes on purpose must end at once: no crash dialog and no
# debugger attached to it.
step "turn off Wine's crash dialog" \
  tollwick_wine reg.exe add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
  'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
  tollwick_wine reg.exe delete "$key" /v Debugger /f >/dev/null 2>&1 </dev/null
done
# Wine draws the window frames itself, as Windows does: with X decorations
# and no window manager on the virtual display a frame would have no X
# window, and clicks on the caption buttons would go nowhere.
step "let Wine draw the window frames" \
  tollwick_wine reg.exe add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f
# The Chinese texts need a font that has them: YaHei, as Windows has it,
# and the dialog and caption fonts linked to one with Chinese glyphs.
for face in '微软雅黑' 'Microsoft YaHei'; do
  step "map the font $face" env LC_ALL=C.UTF-8 "$BASH" "$here/tools/wine.sh" reg.exe add \
    'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d 'WenQuanYi Micro Hei' /f
done
for face in Tahoma 'MS Shell Dlg' 'Microsoft Sans Serif'; do
  step "link the font $face to WenQuanYi Micro Hei" \
    tollwick_wine reg.exe add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" \
    /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f
done
timeout 120 wineserver -w || fail "the prefix's wineserver did not finish within 120 s"
