#!/usr/bin/env bash
# Crash groups from real crashes of the Linux crash host, through the real
# collector and its symbol store:
#  - the same crash from two app versions, loaded at different addresses,
#    lands in one group; a different crash lands in a group of its own; the
#    crashing frame is named with its file and line;
#  - a crash that arrives before its symbols shows module+offset frames, and
#    once the symbols are added the stack is named and the report moves to
#    the named group.
#   check_crash_groups.sh <vextra_crash_host_linux> <libVextra64.so> <libVextra64.so.debug>
# Needs VEXTRA_COLLECTOR (the collector program), curl and python3.
set -euo pipefail
collector=${VEXTRA_COLLECTOR:?set VEXTRA_COLLECTOR to the collector program}
host=$1 library=$2 library_debug=$3
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$(dirname "${BASH_SOURCE[0]}")/collector_harness.sh"

work=$(mktemp -d /tmp/vextra_crash_groups.XXXXXX)
trap 'stop_collector "$work"; [ -n "${VEXTRA_KEEP:-}" ] || rm -rf "$work"' EXIT

# The line of the crash host's null write, from its source.
fault_line=$(grep -n 'static_cast<uintptr_t>(0x100 + N \* 8)) = N;' "$source_dir/tests/crash_host_linux/crash_host_linux.cpp" |
  cut -d: -f1)
[ -n "$fault_line" ] || fail "the crash host's null write is not in its source"

# crash RUN SCENARIO VERSION: the host crashes in a folder of its own.
crash() {
  local run="$work/$1"
  mkdir -p "$run"
  cp "$host" "$run/crash_host"
  cp "$library" "$run/libVextra64.so"
  (cd "$run" && CRASH_HOST_APP_VERSION=$3 timeout 120 ./crash_host ./libVextra64.so "$2" "$address" >host.out 2>&1) || true
}

analysed_crashes() { api "/api/groups?type=crash" | json 'sum(g["count"] for g in j["groups"])'; }
has_analysed_crashes() { [ "$(analysed_crashes)" = "$1" ]; }
crash_groups() {
  api "/api/groups?type=crash" | json '"\n".join("%d %s %s" % (g["count"], ",".join(sorted(v["version"] for v in g["versions"])), g["signature"]) for g in j["groups"])'
}
# The faulting thread's first frame of a report, as the page writes it.
first_frame() { api "/api/reports/$1" | json '[t for t in j["threads"] if t["faulting"]][0]["frames"][0]["text"]'; }
host_base() {
  api "/api/reports/$1" | json '[m["base"] for m in j["modules"] if m["name"].endswith("/crash_host")][0]'
}

echo "---- one crash from two versions, and another crash"
"$collector" symbols add --db "$work/collector.db" "$host" "$library" "$library_debug" >"$work/symbols.out"
start_collector "$work"
crash v1 null-write 1.0
crash v2 null-write 1.1
crash v3 divide 1.0
wait_for 120 "three analysed crash reports" has_analysed_crashes 3
groups=$(crash_groups)
echo "$groups"
[ "$(echo "$groups" | wc -l)" = 2 ] || fail "three crashes of two kinds made groups other than two"
null_group=$(echo "$groups" | grep 'CrashHostNullWrite' || true)
divide_group=$(echo "$groups" | grep 'CrashHostDivide' || true)
case "$null_group" in "2 1.0,1.1 "*) ;; *) fail "the null write of versions 1.0 and 1.1 is not one group of 2: $null_group" ;; esac
case "$divide_group" in "1 1.0 "*) ;; *) fail "the division is not a group of its own: $divide_group" ;; esac

null_id=$(api "/api/groups?type=crash" | json '[g["id"] for g in j["groups"] if "CrashHostNullWrite" in g["signature"]][0]')
reports=$(api "/api/groups/$null_id" | json '" ".join(str(r["id"]) for r in j["reports"])')
set -- $reports
[ $# = 2 ] || fail "the null write group lists $# reports"
base1=$(host_base "$1") base2=$(host_base "$2")
echo "host loaded at $base1 and $base2"
[ "$base1" != "$base2" ] || fail "both crashes loaded the host at $base1: the group shows nothing about load addresses"
for report in "$@"; do
  frame=$(first_frame "$report")
  echo "report $report: $frame"
  case "$frame" in
    *'crash_host!'*CrashHostNullWrite*"crash_host_linux.cpp:$fault_line)") ;;
    *) fail "report $report's crashing frame is not the null write at line $fault_line: $frame" ;;
  esac
done
stop_collector "$work"

echo "---- a crash before its symbols"
late="$work/late"
mkdir -p "$late"
start_collector "$late"
crash late null-write 2.0
wait_for 120 "the analysed crash report" has_analysed_crashes 1
report=$(api "/api/groups?type=crash" | json 'j["groups"][0]["id"]')
report=$(api "/api/groups/$report" | json 'j["reports"][0]["id"]')
before=$(first_frame "$report")
echo "without symbols: $before"
case "$before" in crash_host+0x*) ;; *) fail "without symbols the crashing frame is not module+offset: $before" ;; esac
missing=$(api "/api/reports/$report" | json 'j["analysis"]["missing_symbols"]')
[ -n "$missing" ] || fail "the analysis names no missing symbols"

"$collector" symbols add --db "$late/collector.db" "$host" "$library" "$library_debug" >"$late/symbols.out"
named() { case "$(first_frame "$report")" in *CrashHostNullWrite*) return 0 ;; *) return 1 ;; esac; }
wait_for 60 "the stack named once its symbols arrived" named
echo "with symbols: $(first_frame "$report")"
groups=$(crash_groups)
echo "$groups"
case "$groups" in "1 2.0 "*CrashHostNullWrite*) ;; *) fail "the named report is not alone in a named group: $groups" ;; esac
echo "PASS"
