#!/usr/bin/env bash
# Makes (or completes) a 64-bit Wine prefix in the folder $1 with the settings
# Tollwick's tests and runs need. It starts a private display when $DISPLAY is
# not set, and stops what it started before it returns.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix="${1:?usage: new-prefix.sh PREFIX}"
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: their installers would ask on screen.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# shellcheck source=tools/virtual-display.sh
. "$here/tools/virtual-display.sh"
trap tollwick_stop_display EXIT
if [ -z "${DISPLAY:-}" ]; then
  tollwick_start_display || exit 1
fi
wineboot -i >/dev/null 2>&1 || true
# A helper that crashes on purpose must end at once: no crash dialog and no
# debugger attached to it.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
  'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
  wine reg delete "$key" /v Debugger /f >/dev/null 2>&1 || true
done
# Wine draws the window frames itself, as Windows does: with X decorations
# and no window manager on the virtual display a frame would have no X
# window, and clicks on the caption buttons would go nowhere.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
# The Chinese texts need a font that has them: YaHei, as Windows has it,
# and the dialog and caption fonts linked to one with Chinese glyphs.
for face in '微软雅黑' 'Microsoft YaHei'; do
  LC_ALL=C.UTF-8 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
done
for face in Tahoma 'MS Shell Dlg' 'Microsoft Sans Serif'; do
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" \
    /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
done
wineserver -w
