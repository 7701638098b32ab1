#!/usr/bin/env bash
# The one way into Wine. Every script, and ctest through tools/wine-run.sh,
# starts Windows programs and Wine's own tools (wineboot.exe, reg.exe,
# winepath.exe) with
#
#   tools/wine.sh PROGRAM [ARGS...]
#
# It picks a Wine loader that can start on this machine. Debian's `wine`
# front end starts the 32-bit loader whenever wine32 is installed, and that
# fails with "Exec format error" on a kernel that runs no 32-bit code; the
# 64-bit loader then does the work instead (it runs 64-bit programs only).
#
# Sourced, it defines:
#   tollwick_wine_loader   picks the loader once (exported as
#                          TOLLWICK_WINE_LOADER, so child processes reuse it)
#   tollwick_wine          runs the arguments under that loader
#   tollwick_probe_x86 EXE decides whether 32-bit Windows programs run here by
#                          running the tiny 32-bit program EXE in the current
#                          prefix; sets tollwick_x86_skip to the reason when
#                          they do not (empty when they do)

# Loaders to try, best first: the front end (both bitnesses where it works),
# then the 64-bit loader on its own.
tollwick_wine_candidates() {
  command -v wine 2>/dev/null
  local path
  for path in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)"; do
    [ -n "$path" ] && [ -x "$path" ] && echo "$path"
  done
}

tollwick_wine_loader() {
  if [ -n "${TOLLWICK_WINE_LOADER:-}" ]; then
    return 0
  fi
  local candidate output first_failure=""
  while read -r candidate; do
    [ -z "$candidate" ] && continue
    if output=$(WINEDEBUG=-all timeout 60 "$candidate" --version 2>&1); then
      export TOLLWICK_WINE_LOADER="$candidate"
      if [ -n "$first_failure" ]; then
        echo "wine: $first_failure; using $candidate instead" >&2
      fi
      case "$candidate" in
        *64)
          # Wine starts further processes through WINELOADER; without it
          # they would go through the front end that cannot start.
          export WINELOADER="$candidate"
          ;;
      esac
      return 0
    fi
    if [ -z "$first_failure" ]; then
      first_failure="$candidate cannot start here ($(echo "$output" | tail -n 1))"
    fi
  done < <(tollwick_wine_candidates)
  echo "wine: no Wine loader starts on this machine${first_failure:+: $first_failure}" >&2
  echo "wine: install Debian's wine and wine64 packages (tools/setup.sh does)" >&2
  return 1
}

tollwick_wine() {
  tollwick_wine_loader || return 127
  "$TOLLWICK_WINE_LOADER" "$@"
}

# Why a 32-bit program could not run, in words: the kernel's refusal when the
# 32-bit loader cannot even start, otherwise what Wine said.
tollwick_x86_failure() {
  local exe_output="$1" loader32="" output
  for loader32 in /usr/lib/wine/wine "$(command -v wine 2>/dev/null)"; do
    [ -n "$loader32" ] && [ -x "$loader32" ] && break
    loader32=""
  done
  # Started by bash itself: timeout and env would hand a binary the kernel
  # refuses to /bin/sh, and report the shell's syntax error instead.
  if [ -n "$loader32" ] && ! output=$(WINEDEBUG=-all "$loader32" --version 2>&1 </dev/null); then
    case "$output" in
      *"format error"*)
        echo "this machine's kernel runs no 32-bit programs (Exec format error)"
        return
        ;;
    esac
  fi
  echo "a 32-bit Windows program does not run under Wine here${exe_output:+ ($(echo "$exe_output" | tail -n 1))}"
}

tollwick_x86_skip=""
tollwick_probe_x86() {
  local exe="$1" output errors
  if [ ! -f "$exe" ]; then
    tollwick_x86_skip="the 32-bit probe program $exe is missing"
    return 0
  fi
  errors=$(mktemp)
  if output=$(timeout 120 "$BASH" "${BASH_SOURCE[0]}" "$exe" </dev/null 2>"$errors") &&
    [ "$(echo "$output" | tr -d '\r')" = "32-bit" ]; then
    tollwick_x86_skip=""
  else
    tollwick_x86_skip=$(tollwick_x86_failure "$(cat "$errors")")
  fi
  rm -f "$errors"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  tollwick_wine_loader || exit 127
  exec "$TOLLWICK_WINE_LOADER" "$@"
fi
