#!/usr/bin/env bash
# Installs what building and testing Tollwick needs and prepares the third-party
# sources and the Wine prefix. Safe to run again: it only does what is missing.
# Every step that fails says what it was doing and why it stopped.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$here/deps"
mkdir -p "$deps" || { echo "setup: cannot make $deps" >&2; exit 1; }

log() { echo "setup: $*"; }

fail() {
  echo "setup: $*" >&2
  exit 1
}

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    fail "$1 needs installing; run as root (or install it yourself)"
  fi
}

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  wine wine64 wine32:i386 xvfb xauth
  googletest dpkg-dev patch
  xdotool xcompmgr fonts-wine fonts-wqy-microhei
  nsis zip unzip
  python3 prometheus prometheus-node-exporter
)

missing_packages() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

install_packages() {
  local missing
  missing=$(missing_packages)
  [ -z "$missing" ] && return 0
  need_root "$(echo $missing)"
  log "installing:" $missing
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || fail "could not add the i386 architecture to dpkg (for wine32)"
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || fail "apt-get update failed (exit $?); check the network and /etc/apt"
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing ||
    fail "apt-get could not install: $(echo $missing)"
}

# apt-get source needs source entries; they are derived from the machine's own
# binary entries so that no host is written down here.
ensure_source_entries() {
  local list=/etc/apt/sources.list.d/tollwick-src.sources
  [ -f "$list" ] && return 0
  need_root "a deb-src entry"
  local src=/etc/apt/sources.list.d/debian.sources
  if [ -f "$src" ]; then
    sed -e 's/^Types:.*/Types: deb-src/' "$src" >"$list" || fail "could not write $list"
  elif [ -f /etc/apt/sources.list ] && grep -qE '^deb ' /etc/apt/sources.list; then
    grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' \
      >/etc/apt/sources.list.d/tollwick-src.list || fail "could not write a deb-src list"
    touch "$list"
  else
    fail "no apt sources to derive a deb-src entry from"
  fi
  apt-get update -q || fail "apt-get update failed after adding the deb-src entry"
}

# TinyXML 2.6.2 from Debian's source package, with its security and entity fixes
# but without the patch that forces the STL build.
fetch_tinyxml() {
  local dst="$deps/tinyxml"
  [ -f "$dst/.patched" ] && return 0
  ensure_source_entries
  local tmp="$deps/tinyxml-src"
  rm -rf "$tmp" "$dst"
  mkdir -p "$tmp"
  log "fetching the tinyxml source package"
  (cd "$tmp" && apt-get source -q --download-only tinyxml) || fail "could not download the tinyxml source package"
  (cd "$tmp" && dpkg-source --skip-patches -x ./*.dsc unpacked >/dev/null) ||
    fail "could not unpack the tinyxml source package"
  local src="$tmp/unpacked"
  local p name
  while read -r p; do
    p=${p%%#*}
    p=${p// /}
    [ -z "$p" ] && continue
    name=$(basename "$p")
    case "$name" in
      *stl* | *STL*) log "skipping $name (the build is non-STL)"; continue ;;
    esac
    log "applying $name"
    patch -d "$src" -p1 -s <"$src/debian/patches/$p" || fail "Debian's patch $name does not apply to tinyxml"
  done <"$src/debian/patches/series"
  mkdir -p "$dst" &&
    cp "$src"/tinyxml.h "$src"/tinystr.h "$src"/tinyxml.cpp "$src"/tinystr.cpp \
      "$src"/tinyxmlerror.cpp "$src"/tinyxmlparser.cpp "$dst"/ &&
    cp "$src/debian/patches/series" "$dst/applied-series" || fail "could not copy the tinyxml sources to $dst"
  rm -rf "$tmp"
  touch "$dst/.patched"
}

# One 64-bit prefix runs both the x64 and the x86 builds. Raise the settings
# number when tools/new-prefix.sh changes, so existing prefixes get them.
prefix_settings=4
prepare_wineprefix() {
  local prefix="$deps/wineprefix"
  [ "$(cat "$prefix/.ready" 2>/dev/null)" = "$prefix_settings" ] && return 0
  log "preparing the Wine prefix (takes a while once)"
  bash "$here/tools/new-prefix.sh" "$prefix" || fail "could not prepare the Wine prefix $prefix"
  echo "$prefix_settings" >"$prefix/.ready"
}


install_packages
fetch_tinyxml
prepare_wineprefix
