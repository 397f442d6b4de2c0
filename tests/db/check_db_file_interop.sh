#!/usr/bin/env bash
# Checks that a record database is shared faithfully between the library's
# SQLite and the sqlite3 tool of the build machine, in both directions:
#   tests/db/check_db_file_interop.sh <build-dir>/tests/vextra_db_tests[.exe]
# A .exe test program runs under Wine (scripts/wine_run.sh), any other as is;
# `ctest` runs it for the test program of each build.
# The tool plants a database, the test program reads it and adds rows, and the
# tool checks what the program wrote. Exit status 0 when everything matched.
set -euo pipefail

program=${1:?usage: $0 path/to/vextra_db_tests[.exe]}
repo_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
command -v sqlite3 >/dev/null || { echo "check_db_file_interop.sh: the sqlite3 tool is missing" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db="$work/vextra_data_db"

sqlite3 "$db" <<'SQL'
CREATE TABLE IF NOT EXISTS T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, LAST_SESSION_ID TEXT);
CREATE TABLE IF NOT EXISTS T_CRASH_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, MD5 TEXT, PATH TEXT,GUID TEXT, STATUS INTEGER, STATUS_TIME INTEGER,RETRY_COUNT INTEGER, UPLOADABLE INTEGER);
CREATE TABLE IF NOT EXISTS T_STRATEGY (KEY TEXT PRIMARY KEY, VALUE TEXT);
INSERT INTO T_LOCAL_RECORD VALUES(1, 1700000000, 1, 'LINUXSESSION');
INSERT INTO T_CRASH_RECORD VALUES(null, 1700000000, 'AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA', 'C:\linux\101_9.dat', 'LINUXGUID', 2, 1700000000, 1, 1);
INSERT INTO T_STRATEGY VALUES('KEY_FROM_LINUX', 'x''y');
SQL

if [[ "$program" == *.exe ]]; then
  # Wine shows the Linux root as drive Z:.
  dir_for_program="Z:${work//\//\\}"
  data_file="$dir_for_program\\101_wine.dat"
else
  dir_for_program=$work
  data_file="$work/101_wine.dat"
fi
# Run from a temporary directory of its own (a .exe under Wine), so that the
# library's own files stay out of the build tree.
run=("$repo_dir/tests/support/run_in_temp_dir.sh" "$program")
# The case must run and pass: a skip (no folder given) wrote nothing to check.
output=$(VEXTRA_DB_INTEROP_DIR="$dir_for_program" "${run[@]}" --gtest_filter='DbFileInteropTest.*' --gtest_brief=1 2>&1) ||
  { printf '%s\n' "$output"; echo "check_db_file_interop.sh: the interop case failed" >&2; exit 1; }
printf '%s\n' "$output"
if ! grep -q '\[  PASSED  \] 1 test\.' <<<"$output" || grep -q 'SKIPPED' <<<"$output"; then
  echo "check_db_file_interop.sh: the interop case did not run" >&2
  exit 1
fi

failures=0
expect() {  # expect <what> <query> <expected output>
  local got
  got=$(sqlite3 "$db" "$2")
  if [ "$got" != "$3" ]; then
    echo "MISMATCH $1: expected [$3], got [$got]" >&2
    failures=$((failures + 1))
  fi
}
expect "integrity" "PRAGMA integrity_check;" "ok"
expect "session row" "SELECT ID, DB_VERSION, LAST_SESSION_ID FROM T_LOCAL_RECORD;" "1|1|WINESESSION"
expect "planted record" "SELECT PATH, STATUS, RETRY_COUNT FROM T_CRASH_RECORD WHERE GUID='LINUXGUID';" \
  'C:\linux\101_9.dat|2|1'
expect "written record" \
  "SELECT PATH, MD5, STATUS, RETRY_COUNT, UPLOADABLE FROM T_CRASH_RECORD WHERE GUID='WINEGUID';" \
  "$data_file|900150983cd24fb0d6963f7d28e17f72|2|1|1"
expect "strategy" "SELECT KEY || '=' || VALUE FROM T_STRATEGY ORDER BY KEY;" $'KEY_FROM_LINUX=x\'y\nKEY_Q=it\'s'

if [ "$failures" -ne 0 ]; then
  echo "check_db_file_interop.sh: $failures mismatch(es)" >&2
  exit 1
fi
echo "check_db_file_interop.sh: the database written by $(basename "$program") reads back with sqlite3 $(sqlite3 --version | cut -d' ' -f1)"
