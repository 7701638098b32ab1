#!/usr/bin/env bash
# Builds the x64 and x86 programs and runs the whole test suite of both under
# Wine on a private virtual display. Exits non-zero when anything fails.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash tools/setup.sh || exit 1
bash tools/build.sh x64 x86 || exit 1

# shellcheck source=tools/virtual-display.sh
. tools/virtual-display.sh
tollwick_wine_environment "$here"
tollwick_start_display || exit 1
tollwick_start_wine

status=0
for arch in x64 x86; do
  echo "== tests of the $arch build"
  ctest --test-dir "build/$arch" --output-on-failure --timeout 900 || status=1
done

# The release packages of both builds, installed, upgraded and removed again
# in a fresh prefix of their own.
echo "== packages"
bash tools/dist.sh || status=1
exit $status
