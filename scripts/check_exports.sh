#!/usr/bin/env bash
# Checks that the shipped libraries export exactly the names of
# src/api/exported_names.txt: no more, no fewer.
#   scripts/check_exports.sh [Vextra64.dll] [libVextra64.so]
set -euo pipefail
REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dll=${1:-$REPO_DIR/build/windows/Vextra64.dll}
so=${2:-$REPO_DIR/build/linux/libVextra64.so}

expected=$(grep -E '^[A-Za-z_]' "$REPO_DIR/src/api/exported_names.txt" | sort)
status=0

compare() {  # label, actual names
  local label=$1 actual=$2
  if [ "$actual" = "$expected" ]; then
    echo "ok   $label exports exactly the $(printf '%s\n' "$expected" | wc -l) listed names"
  else
    echo "FAIL $label export list differs (< expected, > actual):"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | grep '^[<>]' || true
    status=1
  fi
}

# objdump -p prints the name pointer table as lines "[ ordinal] name".
dll_names=$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]*\[ *[0-9]+\]/ {print $NF}' | sort)
compare "$(basename "$dll")" "$dll_names"

# Every defined global symbol of the .so: functions and anything else.
so_names=$(nm -D --defined-only "$so" | awk '$2 ~ /^[A-Z]$/ {print $3}' | sort)
compare "$(basename "$so")" "$so_names"
exit $status
