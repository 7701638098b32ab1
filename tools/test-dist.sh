#!/usr/bin/env bash
# Tries the packages in dist/ (tools/dist.sh makes them) under Wine: the
# installer test program of each build (tests/installer/) runs against its
# setup exe and its extracted zip, both builds one after the other in one
# fresh 64-bit prefix, on a private display (x86 only where 32-bit programs
# run here). Everything lives in a temporary
# folder that goes at the end, HOME too, so that nothing Wine writes for a
# user (menu entries, file associations) reaches the real home.
# Exits non-zero on any failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
start=$SECONDS

version=$(sed -n 's/^project(Tollwick VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo "test-dist: no version in CMakeLists.txt" >&2
  exit 1
fi
for arch in x64 x86; do
  for file in "dist/Tollwick-$version-$arch-setup.exe" "dist/Tollwick-$version-$arch.zip" \
    "build/$arch/tests/installer/installer_tests.exe"; do
    if [ ! -f "$file" ]; then
      echo "test-dist: $file is missing (run make dist)" >&2
      exit 1
    fi
  done
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tollwick-test-dist.XXXXXX")
mkdir -p "$work/home"
export HOME="$work/home"
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_DIRS
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
# No menu entries: winemenubuilder would write .desktop files for the
# installer's Start-menu shortcut.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
finish() {
  if [ -d "$WINEPREFIX" ]; then
    timeout 30 wineserver -k >/dev/null 2>&1 || true
  fi
  tollwick_stop_display
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

tollwick_start_display || exit 1
echo "test-dist: making a fresh Wine prefix"
if ! timeout 700 bash tools/new-prefix.sh "$WINEPREFIX"; then
  echo "test-dist: could not make the prefix" >&2
  exit 1
fi
# Nothing of the prefix's making may stay in this home either.
rm -rf "$HOME/.local/share/applications" "$HOME/.config/menus"
# This prefix's server and services, with their output going nowhere.
tollwick_start_wine || { echo "test-dist: Wine does not start in the fresh prefix" >&2; exit 1; }

# The x86 packages are tried only where 32-bit programs run; the caller may
# have found that out already.
if [ -z "${TOLLWICK_X86_SKIP+set}" ]; then
  tollwick_probe_x86 build/x86/tests/bitness_probe.exe
else
  tollwick_x86_skip="$TOLLWICK_X86_SKIP"
fi
arches=(x64)
if [ -z "$tollwick_x86_skip" ]; then
  arches+=(x86)
else
  echo "test-dist: SKIPPED the x86 package tests: $tollwick_x86_skip"
fi

status=0
for arch in "${arches[@]}"; do
  echo "== packages of the $arch build"
  unzip -q "dist/Tollwick-$version-$arch.zip" -d "$work/zip-$arch" || { status=1; continue; }
  setup=$(timeout 30 "$BASH" tools/wine.sh winepath.exe -w "$here/dist/Tollwick-$version-$arch-setup.exe")
  zip_dir=$(timeout 30 "$BASH" tools/wine.sh winepath.exe -w "$work/zip-$arch/Tollwick")
  if [ -z "$setup" ] || [ -z "$zip_dir" ]; then
    echo "test-dist: winepath failed" >&2
    status=1
    continue
  fi
  timeout 900 "$BASH" tools/wine.sh "build/$arch/tests/installer/installer_tests.exe" --gtest_color=no \
    "$setup" "$zip_dir" "$arch" "$version" </dev/null || status=1
done

# The Start-menu shortcut was made (the tests read it) without a menu entry.
if [ -n "$(find "$HOME" -name '*.desktop' 2>/dev/null)" ]; then
  echo "test-dist: Wine wrote menu entries:" $(find "$HOME" -name '*.desktop') >&2
  status=1
fi

echo "test-dist: ${arches[*]} packages $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s${tollwick_x86_skip:+; x86 SKIPPED}"
exit $status
