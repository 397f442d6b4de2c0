# Shell helpers for tests that drive a real collector with its web view:
# sourced, never run. Each test draws a loopback address of its own
# (127.A.B.C with C in 30..229), so runs at the same time never meet.

# start_collector WORK_DIR [more collector options]: starts the collector
# (VEXTRA_COLLECTOR or $collector) with its database in WORK_DIR and its web
# view on the same address, port 8080; sets collector_pid, address and web.
start_collector() {
  local work=$1
  shift
  address="127.$((RANDOM % 250 + 2)).$((RANDOM % 256)).$((RANDOM % 200 + 30))"
  web="$address:8080"
  "$collector" --listen "$address" --port 443 --db "$work/collector.db" --web "$web" \
    --stop-file "$work/collector.stop" --ready-file "$work/collector.ready" "$@" >"$work/collector.out" 2>&1 &
  collector_pid=$!
  local waited
  for waited in $(seq 300); do
    [ -e "$work/collector.ready" ] && curl -sf "http://$web/api/groups" >/dev/null && return 0
    kill -0 "$collector_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/collector.out" >&2
  fail "the collector did not start on $address"
}

stop_collector() {
  [ -n "${collector_pid:-}" ] || return 0
  if kill -0 "$collector_pid" 2>/dev/null; then
    : >"$1/collector.stop"
    local waited
    for waited in $(seq 100); do kill -0 "$collector_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$collector_pid" 2>/dev/null || true
  fi
  wait "$collector_pid" 2>/dev/null || true
  collector_pid=""
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# api PATH: the web view's JSON for PATH.
api() { curl -sf "http://$web$1"; }

# json EXPRESSION: evaluates a Python expression over the JSON on stdin (as `j`).
json() { python3 -c "import json, sys; j = json.load(sys.stdin); print($1)"; }

# wait_for SECONDS DESCRIPTION COMMAND...: runs COMMAND until it succeeds.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "waited ${seconds}s for $what"
    sleep 0.2
  done
}
