#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix. ctest uses it
# as the emulator of the cross builds. The caller provides DISPLAY.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${TOLLWICK_WINEPREFIX:-$here/deps/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
exec "$here/tools/wine.sh" "$@"
