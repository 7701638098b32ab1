#!/usr/bin/env bash
# Builds the release packages of both builds into dist/: a portable zip and a
# per-user installer (tools/installer.nsi) each, from stripped copies of the
# RelWithDebInfo programs, and then tries them in a fresh Wine prefix
# (tools/test-dist.sh). Exits non-zero on any failure.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

bash tools/setup.sh
bash tools/build.sh x64 x86

# The one place the version is written down.
version=$(sed -n 's/^project(Tollwick VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
if ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "dist: no X.Y.Z version in the project() line of CMakeLists.txt" >&2
  exit 1
fi

stage_root="$here/build/dist-stage"
rm -rf "$here/dist" "$stage_root"
mkdir -p "$here/dist"
# The files get the time of the last commit, so that two builds of one
# commit give the same zips.
stamp=$(git log -1 --format=%ct 2>/dev/null || date +%s)

for arch in x64 x86; do
  case "$arch" in
    x64) strip=x86_64-w64-mingw32-strip ;;
    x86) strip=i686-w64-mingw32-strip ;;
  esac
  stage="$stage_root/$arch/Tollwick"
  mkdir -p "$stage"
  cp "build/$arch/Tollwick.exe" README.md LICENSE.txt "$stage/"
  "$strip" --strip-all "$stage/Tollwick.exe"
  touch -d "@$stamp" "$stage"/* "$stage"

  zip_file="$here/dist/Tollwick-$version-$arch.zip"
  (cd "$stage_root/$arch" && TZ=UTC zip -q -X -r "$zip_file" Tollwick)
  listed=$(unzip -Z1 "$zip_file" | sort | tr '\n' ' ')
  if [ "$listed" != "Tollwick/ Tollwick/LICENSE.txt Tollwick/README.md Tollwick/Tollwick.exe " ]; then
    echo "dist: unexpected contents of $zip_file: $listed" >&2
    exit 1
  fi

  makensis -V2 -INPUTCHARSET UTF8 -DARCH="$arch" -DVERSION="$version" -DSTAGEDIR="$stage" \
    -DOUTFILE="$here/dist/Tollwick-$version-$arch-setup.exe" "$here/tools/installer.nsi"
done

bash tools/test-dist.sh

echo "dist: packages of Tollwick $version"
(cd dist && ls -l Tollwick-* && sha256sum Tollwick-*)
