#!/usr/bin/env bash
# Runs a command as on a machine whose kernel runs no 32-bit code, to try the
# test command's skip of the x86 tests on a machine that has 32-bit support:
#
#   sudo tools/without-32bit.sh make test
#
# In a private mount namespace (needs root and unshare), the 32-bit Wine
# loader is replaced by a copy whose ELF machine field is cleared, so that
# starting it fails with "Exec format error", as every 32-bit program does
# under such a kernel. Nothing outside the command sees the change.
set -uo pipefail

if [ $# -eq 0 ]; then
  echo "usage: tools/without-32bit.sh COMMAND [ARGS...]" >&2
  exit 2
fi
loader=/usr/lib/wine/wine
if [ ! -f "$loader" ]; then
  echo "without-32bit: $loader is not installed, so there is nothing to hide" >&2
  exec "$@"
fi
broken=$(mktemp "${TMPDIR:-/tmp}/wine32-broken.XXXXXX")
trap 'rm -f "$broken"' EXIT
cp "$loader" "$broken" && chmod 755 "$broken" || exit 1
# e_machine, at offset 18 of the ELF header: no machine at all.
printf '\0\0' | dd of="$broken" bs=1 seek=18 conv=notrunc status=none || exit 1
unshare --mount --propagation private -- bash -c \
  'mount --bind "$1" "$2" && shift 2 && exec "$@"' bash "$broken" "$loader" "$@"
