#!/usr/bin/env bash
# Runs a Windows program under wine64 in Vextra's test prefix, headless:
#   scripts/wine_run.sh path/to/program.exe [args...]
# The program's exit status becomes this script's exit status (Wine passes on
# the low 8 bits: an unhandled access violation, 0xC0000005, arrives as 5).
# The prefix is created on first use (scripts/setup_wine.sh).
# Environment: VEXTRA_CACHE_DIR; VEXTRA_WINEDEBUG to get Wine's debug channels
# back (e.g. VEXTRA_WINEDEBUG=err+all,warn+seh); VEXTRA_WINEDBG=1 to let
# winedbg print a backtrace on a crash; VEXTRA_WINEDLLOVERRIDES for more DLL
# overrides; WINEPATH to add DLL folders.
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ $# -lt 1 ]; then
  echo "usage: $0 program.exe [args...]" >&2
  exit 2
fi
if [ ! -f "$1" ]; then
  echo "wine_run.sh: no such file: $1" >&2
  exit 2
fi

# shellcheck source=scripts/setup_wine.sh
. "$SCRIPT_DIR/setup_wine.sh"
vextra_wine_env
if [ ! -f "$WINEPREFIX/$READY_MARK" ]; then
  "$SCRIPT_DIR/setup_wine.sh" >&2
fi
if [ -n "${VEXTRA_WINEDEBUG:-}" ]; then
  export WINEDEBUG=$VEXTRA_WINEDEBUG
fi

# A failing run says how it ended, so that a log with no output of the
# program's own (it died before printing, or Wine could not start it) still
# tells what happened.
start=$(date +%s%N)
set +e
"$WINE64" "$@"
status=$?
set -e
if [ $status -ne 0 ]; then
  printf 'wine_run.sh: %s ended with status %d after %d ms\n' "$(basename "$1")" "$status" \
    $(( ($(date +%s%N) - start) / 1000000 )) >&2
fi
exit $status
