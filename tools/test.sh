#!/usr/bin/env bash
# Builds the x64 and x86 programs and runs the whole test suite of both under
# Wine on a private virtual display, then tries the packages. Both builds are
# always compiled; the x86 tests run only where this machine runs 32-bit
# programs, and a skip is said at once and again in the summary, never counted
# as a pass. Exits non-zero when anything fails.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash tools/setup.sh || exit 1
bash tools/build.sh x64 x86 || { echo "test: the build failed" >&2; exit 1; }

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
tollwick_wine_environment "$here"
tollwick_start_display || exit 1
tollwick_start_wine || { echo "test: Wine does not start in $WINEPREFIX" >&2; exit 1; }

tollwick_probe_x86 build/x86/tests/bitness_probe.exe
arches=(x64)
if [ -z "$tollwick_x86_skip" ]; then
  arches+=(x86)
else
  echo "test: SKIPPED the x86 tests and the x86 package tests: $tollwick_x86_skip"
fi

status=0
summary=()
for arch in "${arches[@]}"; do
  echo "== tests of the $arch build"
  if ctest --test-dir "build/$arch" --output-on-failure --timeout 900; then
    summary+=("$arch tests: passed")
  else
    summary+=("$arch tests: FAILED")
    status=1
  fi
done

# The release packages of both builds, installed, upgraded and removed again
# in a fresh prefix of their own (x86 only where it can run).
echo "== packages"
if TOLLWICK_X86_SKIP="$tollwick_x86_skip" bash tools/dist.sh; then
  summary+=("$(IFS=' '; echo "${arches[*]}") packages: built and passed")
else
  summary+=("packages: FAILED")
  status=1
fi
if [ -n "$tollwick_x86_skip" ]; then
  summary+=("x86 tests and x86 package tests: SKIPPED, because $tollwick_x86_skip; the x86 build and setup were only compiled")
fi

echo "== summary"
printf 'test: %s\n' "${summary[@]}"
exit $status
