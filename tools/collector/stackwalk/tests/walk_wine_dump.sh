#!/usr/bin/env bash
# The stack walker on a dump made under Wine: crashes the Windows crash host
# (native-crash, nothing listening for the upload) in a folder of its own,
# then runs the native walker's WineDump case on the dump with the real
# Vextra64.dll and host program.
#   walk_wine_dump.sh <wine_run.sh> <Vextra64.dll> <vextra_crash_host.exe>
# The native test program is VEXTRA_STACKWALK_TESTS, else the one beside
# VEXTRA_COLLECTOR (the Linux build's tools folder, as the Wine stage sets it).
set -uo pipefail
wine_run=$(realpath "$1") dll=$2 host=$3
tests=${VEXTRA_STACKWALK_TESTS:-}
if [ -z "$tests" ] && [ -n "${VEXTRA_COLLECTOR:-}" ]; then tests=$(dirname "$VEXTRA_COLLECTOR")/vextra_stackwalk_tests; fi
if [ -z "$tests" ] || [ ! -x "$tests" ]; then
  echo "walk_wine_dump: the native vextra_stackwalk_tests is not built (set VEXTRA_STACKWALK_TESTS or VEXTRA_COLLECTOR)" >&2
  exit 1
fi
dir=$(mktemp -d /tmp/vextra_wine_walk.XXXXXX)
trap 'rm -rf "$dir"' EXIT
cp "$dll" "$dir/Vextra64.dll" && cp "$host" "$dir/vextra_crash_host.exe" || exit 1
(cd "$dir" && timeout 600 bash "$wine_run" "$dir/vextra_crash_host.exe" "$dir/Vextra64.dll" native-crash 127.0.0.1:1 >host.out 2>&1)
dump=$(find "$dir" -name '*.dmp' | head -1)
if [ -z "$dump" ]; then
  echo "walk_wine_dump: the crash host left no dump" >&2
  cat "$dir/host.out" >&2
  exit 1
fi
VEXTRA_WINE_DUMP=$dump VEXTRA_WINE_MODULES=$dir "$tests" --gtest_filter='WineDump.*' --gtest_brief=0
