#!/usr/bin/env bash
# Ingest rate of one collector against the ceiling, side by side in one run:
#   bench/ingest_bench.sh [BUILD_DIR]        (default build/linux)
# The same load (vextra-ingest-load: concurrent keep-alive HTTPS clients, each
# report body distinct) goes in turn to
#   - vextra-ingest-sink, a bare TLS server that reads each body and drops it
#     (the ceiling);
#   - the same sink with cpp-httplib's default server settings, which the
#     collector runs with (8 workers, 5 requests a connection, Nagle on);
#   - vextra-collector storing in SQLite;
#   - vextra-collector storing in PostgreSQL (a server of its own, started by
#     scripts/postgres_server.sh), when the collector takes a postgresql:// --db;
#   - two collectors on two addresses storing in one PostgreSQL, the clients
#     split between them (two loads at once, their rates added).
# each on a loopback address of its own, for several rounds taken in turn; the
# round with the median rate stands for each. Prints a table with the ratio of
# each to the ceiling (goal for the collector: at least 0.7). Fails when any
# answer is not 200, when a collector reports a store error, or when what was
# stored or received differs from what was answered.
# Settings: VEXTRA_INGEST_CLIENTS (32), VEXTRA_INGEST_REQUESTS (30000 distinct
# bodies at most), VEXTRA_INGEST_SECONDS (10, the most a run lasts),
# VEXTRA_INGEST_ROUNDS (3), VEXTRA_INGEST_ATTACHMENT_BYTES (0: add a dump of
# that many bytes to every report), VEXTRA_INGEST_COLLECTOR (the collector
# program, default BUILD_DIR/tools/vextra-collector).
set -euo pipefail
repo_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$(cd "${1:-$repo_dir/build/linux}" && pwd)

clients=${VEXTRA_INGEST_CLIENTS:-32}
requests=${VEXTRA_INGEST_REQUESTS:-30000}
seconds=${VEXTRA_INGEST_SECONDS:-10}
rounds=${VEXTRA_INGEST_ROUNDS:-3}
attachment_bytes=${VEXTRA_INGEST_ATTACHMENT_BYTES:-0}

sink=$build_dir/tools/ingest_bench/vextra-ingest-sink
load=$build_dir/tools/ingest_bench/vextra-ingest-load
collector=${VEXTRA_INGEST_COLLECTOR:-$build_dir/tools/vextra-collector}
for program in "$sink" "$load" "$collector"; do
  [ -x "$program" ] || { echo "ingest_bench.sh: $program is not built" >&2; exit 1; }
done
command -v sqlite3 >/dev/null || { echo "ingest_bench.sh: needs the sqlite3 tool" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vextra-ingest.XXXXXX")
# The PostgreSQL server's own user must reach its directory inside.
chmod 755 "$work"
server_pid=""
pg_dir=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [ -n "$pg_dir" ]; then bash "$repo_dir/scripts/postgres_server.sh" stop "$pg_dir" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Loopback addresses of this run's own: 127.A.B.1 and up, all on port 443.
net="127.$((RANDOM % 253 + 2)).$((RANDOM % 256))"
port=443

# Starts "$@" listening on $1's address (the caller passes --listen and
# --ready-file); sets server_pid.
start_server() {
  local name=$1 ready=$2
  shift 2
  rm -f "$ready"
  "$@" >"$work/$name.out" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 200); do
    [ -s "$ready" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "ingest_bench.sh: $name did not start:" >&2
  cat "$work/$name.out" >&2
  exit 1
}

stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || { echo "ingest_bench.sh: $1 ended with an error:" >&2; tail -n 5 "$work/$1.out" >&2; exit 1; }
  server_pid=""
}

# Two loads at once, half the clients each, against https://$1 and https://$2;
# prints one "result" line with their requests and rates added.
run_split_load() {
  local first=$1 second=$2 label=$3 half=$((clients / 2))
  "$load" --url "https://$first:$port" --clients "$half" --requests "$((requests / 2))" --seconds "$seconds" \
    --attachment-bytes "$attachment_bytes" --label "$label-a" >"$work/$label-a.load" 2>&1 &
  local a=$!
  "$load" --url "https://$second:$port" --clients "$((clients - half))" --requests "$((requests / 2))" \
    --seconds "$seconds" --attachment-bytes "$attachment_bytes" --label "$label-b" >"$work/$label-b.load" 2>&1 &
  local b=$!
  if ! wait $a || ! wait $b; then
    echo "ingest_bench.sh: the load against $label failed:" >&2
    cat "$work/$label-a.load" "$work/$label-b.load" >&2
    exit 1
  fi
  local ra rb
  ra=$(grep '^result ' "$work/$label-a.load")
  rb=$(grep '^result ' "$work/$label-b.load")
  awk -v a="$ra" -v b="$rb" -v label="$label" 'function f(line, name,   n, i, kv, parts) {
      n = split(line, parts, " "); for (i = 1; i <= n; i++) { split(parts[i], kv, "="); if (kv[1] == name) return kv[2] } }
    BEGIN { printf "result label=%s requests=%d body_bytes=%d seconds=%.3f requests_per_s=%.1f mb_per_s=%.3f p50_ms=%.3f p99_ms=%.3f\n",
      label, f(a, "requests") + f(b, "requests"), f(a, "body_bytes") + f(b, "body_bytes"),
      (f(a, "seconds") > f(b, "seconds") ? f(a, "seconds") : f(b, "seconds")),
      f(a, "requests_per_s") + f(b, "requests_per_s"), f(a, "mb_per_s") + f(b, "mb_per_s"),
      (f(a, "p50_ms") + f(b, "p50_ms")) / 2, (f(a, "p99_ms") > f(b, "p99_ms") ? f(a, "p99_ms") : f(b, "p99_ms")) }'
  head -n 1 "$work/$label-a.load" >"$work/$label.load"
}

# Runs the load against https://$1:$port; prints its "result" line.
run_load() {
  local address=$1 label=$2
  if ! "$load" --url "https://$address:$port" --clients "$clients" --requests "$requests" --seconds "$seconds" \
    --attachment-bytes "$attachment_bytes" --label "$label" >"$work/$label.load" 2>&1; then
    echo "ingest_bench.sh: the load against $label failed:" >&2
    cat "$work/$label.load" >&2
    exit 1
  fi
  grep '^result ' "$work/$label.load"
}

field() {  # field NAME RESULT-LINE
  printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# The sink must have received exactly what the load counted as answered.
check_sink() {
  local label=$1 result=$2 received
  received=$(sed -n 's/^stopped after \([0-9]*\) requests.*/\1/p' "$work/$label.out")
  if [ "$received" != "$(field requests "$result")" ]; then
    echo "ingest_bench.sh: $label received ${received:-?} requests, the load had $(field requests "$result") answered" >&2
    exit 1
  fi
}

# The collector must have stored every answered report once and said nothing of a store error.
check_collector() {
  local label=$1 result=$2 stored=$3
  if grep -q "cannot store" "$work/$label.out"; then
    echo "ingest_bench.sh: $label could not store some requests:" >&2
    grep -m 5 "cannot store" "$work/$label.out" >&2
    exit 1
  fi
  if [ "$stored" != "$(field requests "$result")" ]; then
    echo "ingest_bench.sh: $label stored $stored reports, the load had $(field requests "$result") answered" >&2
    exit 1
  fi
}

postgres_capable=0
if "$collector" --help 2>&1 | grep -q 'postgresql://'; then postgres_capable=1; fi

targets=(sink sink_defaults sqlite)
[ $postgres_capable -eq 1 ] && targets+=(postgresql postgresql_two)
declare -A results

for round in $(seq 1 "$rounds"); do
  for target in "${targets[@]}"; do
    label="$target-$round"
    case "$target" in
      sink)
        start_server "$label" "$work/$label.ready" "$sink" --listen "$net.1" --port $port --ready-file "$work/$label.ready"
        result=$(run_load "$net.1" "$label")
        stop_server "$label"
        check_sink "$label" "$result"
        ;;
      sink_defaults)
        start_server "$label" "$work/$label.ready" "$sink" --listen "$net.2" --port $port --ready-file "$work/$label.ready" \
          --threads 8 --keep-alive-max 5 --tcp-nodelay off
        result=$(run_load "$net.2" "$label")
        stop_server "$label"
        check_sink "$label" "$result"
        ;;
      sqlite)
        start_server "$label" "$work/$label.ready" "$collector" --listen "$net.3" --port $port \
          --db "$work/$label.db" --ready-file "$work/$label.ready"
        result=$(run_load "$net.3" "$label")
        stop_server "$label"
        check_collector "$label" "$result" "$(sqlite3 "$work/$label.db" 'SELECT count(*) FROM reports')"
        ;;
      postgresql)
        pg_dir="$work/pg-$round"
        uri=$(bash "$repo_dir/scripts/postgres_server.sh" start "$pg_dir" "$net.10" 5432 | tail -n 1)
        start_server "$label" "$work/$label.ready" "$collector" --listen "$net.4" --port $port \
          --db "$uri" --ready-file "$work/$label.ready"
        result=$(run_load "$net.4" "$label")
        stop_server "$label"
        stored=$(psql -X -q -tA "$uri" -c 'SELECT count(*) FROM reports')
        bash "$repo_dir/scripts/postgres_server.sh" stop "$pg_dir" >/dev/null
        pg_dir=""
        check_collector "$label" "$result" "$stored"
        ;;
      postgresql_two)
        pg_dir="$work/pg-two-$round"
        uri=$(bash "$repo_dir/scripts/postgres_server.sh" start "$pg_dir" "$net.11" 5432 | tail -n 1)
        start_server "$label-a" "$work/$label-a.ready" "$collector" --listen "$net.5" --port $port \
          --db "$uri" --ready-file "$work/$label-a.ready"
        first_pid=$server_pid
        start_server "$label-b" "$work/$label-b.ready" "$collector" --listen "$net.6" --port $port \
          --db "$uri" --ready-file "$work/$label-b.ready"
        result=$(run_split_load "$net.5" "$net.6" "$label")
        stop_server "$label-b"
        server_pid=$first_pid
        stop_server "$label-a"
        cat "$work/$label-a.out" "$work/$label-b.out" >"$work/$label.out"
        stored=$(psql -X -q -tA "$uri" -c 'SELECT count(*) FROM reports')
        bash "$repo_dir/scripts/postgres_server.sh" stop "$pg_dir" >/dev/null
        pg_dir=""
        check_collector "$label" "$result" "$stored"
        ;;
    esac
    results[$target]+="$result"$'\n'
    echo "round $round: $(head -n 1 "$work/$label.load")" >&2
  done
done

# The round with the median rate of a target.
median_result() {
  printf '%s' "${results[$1]}" | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^requests_per_s=/) { split($i, kv, "="); print kv[2], $0 } }' |
    sort -n | awk '{ line[NR] = $0 } END { n = int((NR + 1) / 2); sub(/^[^ ]* /, "", line[n]); print line[n] }'
}

ceiling=$(field requests_per_s "$(median_result sink)")
body_kb=$(awk -v b="$(field body_bytes "$(median_result sink)")" -v n="$(field requests "$(median_result sink)")" \
  'BEGIN { printf "%.1f", b / n / 1000 }')
echo
echo "Ingest: $clients clients with keep-alive, report bodies of $body_kb kB, median of $rounds rounds"
printf '%-44s %11s %8s %8s %8s %7s\n' "server" "requests/s" "MB/s" "p50 ms" "p99 ms" "ratio"
row() {  # row TITLE TARGET GOAL-NOTE
  local r
  r=$(median_result "$2")
  printf '%-44s %11.0f %8.2f %8.2f %8.2f %7.3f  %s\n' "$1" "$(field requests_per_s "$r")" "$(field mb_per_s "$r")" \
    "$(field p50_ms "$r")" "$(field p99_ms "$r")" "$(awk -v a="$(field requests_per_s "$r")" -v c="$ceiling" 'BEGIN { print a / c }')" "$3"
}
row "bare TLS sink (the ceiling)" sink ""
row "bare TLS sink, cpp-httplib default settings" sink_defaults ""
goal() {
  awk -v a="$(field requests_per_s "$(median_result "$1")")" -v c="$ceiling" \
    'BEGIN { if (a / c >= 0.7) print "goal 0.7: met"; else print "goal 0.7: NOT met" }'
}
row "collector, SQLite" sqlite "$(goal sqlite)"
if [ $postgres_capable -eq 1 ]; then
  row "collector, PostgreSQL" postgresql "$(goal postgresql)"
  row "two collectors, one PostgreSQL" postgresql_two \
    "$(awk -v a="$(field requests_per_s "$(median_result postgresql_two)")" \
      -v o="$(field requests_per_s "$(median_result postgresql)")" 'BEGIN { printf "%.2fx one collector", a / o }')"
else
  printf '%-44s %s\n' "collector, PostgreSQL" "not run: this collector takes no postgresql:// --db"
fi
