#!/usr/bin/env bash
# Runs a test program from a fresh temporary directory, so that what the
# library writes beside its own module (the SDK log "VextraLog", the default
# workspace) lands there and not in the build tree:
#   tests/support/run_in_temp_dir.sh path/to/program[.exe] [args...]
# The program is linked (or copied) into the directory and run from it, a .exe
# under Wine (scripts/wine_run.sh); the directory is removed afterwards and the
# program's exit status returned.
set -uo pipefail

program=${1:?usage: $0 path/to/program[.exe] [args...]}
shift
repo_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vextra-run.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
copy="$work/$(basename "$program")"
ln "$program" "$copy" 2>/dev/null || cp "$program" "$copy" || exit 2

cd "$work" || exit 2
if [[ "$program" == *.exe ]]; then
  "$repo_dir/scripts/wine_run.sh" "$copy" "$@"
else
  "$copy" "$@"
fi
