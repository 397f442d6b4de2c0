#!/usr/bin/env bash
# `make demo`: builds both targets, starts the reference collector on a
# loopback address, runs the sample host under Wine against it (start-up,
# log lines, user values, one synchronous and one asynchronous error report
# with a log file), then shows the collector's summary lines, the SDK log and
# one decoded report. Then the sample host crashes: the demo adds its symbols
# and the library's to the collector's symbol store, waits for the crash
# report's analysis and prints the crashing thread's symbolised stack from the
# collector's JSON API, and where its web view is.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

bash scripts/install_packages.sh
vextra_load_deps
bash scripts/setup_wine.sh >/dev/null
bash scripts/build_native.sh build/linux
bash scripts/build_windows.sh build/windows

collector="$REPO_DIR/build/linux/tools/vextra-collector"
# An address of the demo's own (127.A.B.20), so a test run at the same time
# never meets it.
address="127.$((RANDOM % 250 + 2)).$((RANDOM % 256)).20"
work=$(mktemp -d /tmp/vextra-demo.XXXXXX)
db="$work/collector.db"

web="$address:8080"
"$collector" --listen "$address" --port 443 --db "$db" --web "$web" \
  --stop-file "$work/collector.stop" --ready-file "$work/collector.ready" >"$work/collector.out" 2>&1 &
collector_pid=$!
stop_collector() {
  if kill -0 "$collector_pid" 2>/dev/null; then
    : >"$work/collector.stop"
    for _ in $(seq 100); do kill -0 "$collector_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$collector_pid" 2>/dev/null || true
  fi
  wait "$collector_pid" 2>/dev/null || true
}
trap 'stop_collector; rm -rf "$work"' EXIT
for _ in $(seq 150); do [ -e "$work/collector.ready" ] && break; sleep 0.1; done
[ -e "$work/collector.ready" ] || { cat "$work/collector.out"; echo "demo: the collector did not start" >&2; exit 1; }

cd build/windows
rm -rf VextraLog lumaro game.log
echo "==== running the sample host under Wine against $address:443"
bash "$REPO_DIR/scripts/wine_run.sh" ./vextra_sample_host.exe "$address" game.log

echo
echo "==== collector: one summary line per request"
cat "$work/collector.out"
echo
for log in VextraLog/*.log; do
  echo "==== SDK log: build/windows/$log"
  tr -d '\r' < "$log"
done

report=$(sqlite3 "$db" "SELECT id FROM reports WHERE expName='ScriptError' LIMIT 1")
echo
echo "==== decoded report $report (the synchronous one)"
sqlite3 -line "$db" "SELECT type, expName, expMessage, callStack, expuid, userid, pidName, deviceBootTime,
  crashTime FROM reports WHERE id=$report"
echo
echo "---- valueMap and userMap"
sqlite3 -separator ' = ' "$db" "SELECT map || '.' || key, value FROM map_entries
  WHERE owner='report' AND owner_id=$report AND map IN ('valueMap','userMap') ORDER BY map, key"
echo
echo "---- attachments: name, compressed bytes, inflated bytes"
sqlite3 -separator '  ' "$db" "SELECT fileName, size, length(content) FROM attachments WHERE report_id=$report ORDER BY id"
echo
echo "---- the first lines of vextraLog.zip, inflated"
sqlite3 "$db" "SELECT CAST(content AS TEXT) FROM attachments WHERE report_id=$report AND fileName='vextraLog.zip'" |
  head -5

echo
echo "==== the sample host crashes under Wine"
"$collector" symbols add --db "$db" vextra_sample_host.exe Vextra64.dll
# The crash ends the host: wine_run.sh reports its status, which is expected here.
bash "$REPO_DIR/scripts/wine_run.sh" ./vextra_sample_host.exe "$address" game.log crash || true

api() { curl -sf "http://$web$1"; }
crash_report=""
for _ in $(seq 300); do
  crash_report=$(sqlite3 "$db" "SELECT a.report_id FROM report_analyses a WHERE a.kind='crash' AND a.state<>'pending'
    ORDER BY a.report_id DESC LIMIT 1")
  [ -n "$crash_report" ] && break
  sleep 0.2
done
[ -n "$crash_report" ] || { cat "$work/collector.out"; echo "demo: no analysed crash report arrived" >&2; exit 1; }
echo
echo "==== crash report $crash_report: the crashing thread, from http://$web/api/reports/$crash_report"
api "/api/reports/$crash_report" | python3 -c '
import json, sys
report = json.load(sys.stdin)
analysis = report["analysis"]
print("exception:", analysis.get("exception_name", ""), analysis.get("exception_code_hex", ""),
      "at", analysis.get("exception_address_hex", ""))
for thread in report["threads"]:
    if thread["faulting"]:
        for frame in thread["frames"]:
            print("  #%-2d %s" % (frame["index"], frame["text"]))
        if thread["error"]:
            print("  (%s)" % thread["error"])
'
echo
echo "==== the web view: http://$web/"
if [ -t 0 ]; then
  read -r -p "press Enter to stop the collector " _
fi
