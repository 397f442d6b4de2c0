#!/usr/bin/env bash
# The sample host's crash under Wine, read where a studio reads it: the host
# crashes against the real collector (its symbols and the library's in the
# collector's symbol store), and the crash report page, loaded in headless
# Chromium, names the host's crashing function with its file and line and a
# frame inside Vextra64.dll by name. The page and its screenshot are kept in
# OUTPUT_DIR.
#   check_sample_crash_page.sh <wine_run.sh> <Vextra64.dll> <vextra_sample_host.exe> <OUTPUT_DIR>
# Needs VEXTRA_COLLECTOR (the Linux collector program), curl, python3 and chromium.
set -euo pipefail
collector=${VEXTRA_COLLECTOR:?set VEXTRA_COLLECTOR to the collector program}
wine_run=$(realpath "$1") dll=$2 host=$3 output=$4
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$(dirname "${BASH_SOURCE[0]}")/collector_harness.sh"

work=$(mktemp -d /tmp/vextra_crash_page.XXXXXX)
trap 'stop_collector "$work"; [ -n "${VEXTRA_KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$output" "$work/run"
rm -f "$output"/crash-report.*

fault_line=$(grep -n 'the sample crash: a write through a null pointer' "$source_dir/examples/sample_host/sample_host.cpp" |
  cut -d: -f1)
[ -n "$fault_line" ] || fail "the sample host's crash is not in its source"
# The caller's frame shows the line of its call, not the line after it.
call_line=$(grep -n '^  SpawnEnemyWave(level);' "$source_dir/examples/sample_host/sample_host.cpp" | cut -d: -f1)
[ -n "$call_line" ] || fail "the sample host's call of its crashing function is not in its source"

cp "$dll" "$work/run/Vextra64.dll"
cp "$dll.debug" "$work/run/Vextra64.dll.debug"
cp "$host" "$work/run/vextra_sample_host.exe"
start_collector "$work"
"$collector" symbols add --db "$work/collector.db" "$work/run/vextra_sample_host.exe" "$work/run/Vextra64.dll" |
  tee "$work/symbols.out"
(cd "$work/run" && timeout 600 bash "$wine_run" ./vextra_sample_host.exe "$address" game.log crash >host.out 2>&1) || true

crash_analysed() {
  [ "$(api "/api/groups?type=crash" | json 'sum(g["count"] for g in j["groups"])')" = 1 ]
}
wait_for 180 "the analysed crash report" crash_analysed
group=$(api "/api/groups?type=crash" | json 'j["groups"][0]["id"]')
report=$(api "/api/groups/$group" | json 'j["reports"][0]["id"]')

profile="$work/chromium-profile"
chromium() {
  timeout 120 /usr/bin/chromium --headless --no-sandbox --disable-gpu --user-data-dir="$profile" "$@" 2>>"$work/chromium.err"
}
chromium --dump-dom "http://$web/reports/$report" >"$output/crash-report.html"
chromium --screenshot="$output/crash-report.png" --window-size=1280,2400 "http://$web/reports/$report" >/dev/null
[ -s "$output/crash-report.png" ] || fail "no screenshot of the crash report page"

page=$output/crash-report.html
grep -q 'vextra_sample_host.exe!(anonymous namespace)::SpawnEnemyWave(int)' "$page" ||
  fail "the page does not name the sample host's crashing function"
grep -q "examples/sample_host/sample_host.cpp:$fault_line)" "$page" ||
  fail "the page does not give the crash's file and line (sample_host.cpp:$fault_line)"
grep -q "vextra_sample_host.exe!(anonymous namespace)::LoadLevel(int) ([^)]*examples/sample_host/sample_host.cpp:$call_line)" "$page" ||
  fail "the page does not name the crashing function's caller at its call (sample_host.cpp:$call_line)"
library_frame=$(grep -o 'Vextra64\.dll![A-Za-z_][^<]*' "$page" | head -1 | sed 's/ ([^()]*:[0-9]*) *$//')
[ -n "$library_frame" ] || fail "the page names no frame inside Vextra64.dll"
grep -q 'EXCEPTION_ACCESS_VIOLATION' "$page" || fail "the page does not name the exception"
echo "crash report $report: SpawnEnemyWave at sample_host.cpp:$fault_line, library frame $library_frame"
echo "PASS"
