#!/usr/bin/env bash
# The README's integration example, compiled as it stands against the Linux
# library and run against the collector: its synchronous error report must
# arrive. Only the server URL literal is replaced, by the collector's
# "https://ADDR:PORT"; the test supplies RunGame (declared by a forced
# include, defined in a file of its own).
#   check_readme_example.sh <README.md> <include dir> <libVextra64.so> <vextra-collector> <c++ compiler>
set -euo pipefail
readme=$1 include_dir=$2 library=$3 collector=$4 cxx=$5

work=$(mktemp -d /tmp/vextra-readme-XXXXXX)
collector_pid=
cleanup() {
  if [ -n "$collector_pid" ] && kill -0 "$collector_pid" 2>/dev/null; then
    touch "$work/collector.stop"
    for _ in $(seq 100); do kill -0 "$collector_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$collector_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The first C++ block of the "## Integrating" section.
awk '/^## /{section=$0} section=="## Integrating" && /^```cpp$/{inside=1; next}
     inside && /^```$/{exit} inside{print}' "$readme" >"$work/example.cpp"
[ -s "$work/example.cpp" ] || fail "no C++ block under '## Integrating' in $readme"
grep -q 'VX_ReportException' "$work/example.cpp" || fail "the example makes no report"
url_literal=$(grep -o 'VX_ConfigCrashServerUrl("[^"]*")' "$work/example.cpp" | sed 's/.*("\(.*\)")/\1/')
[ -n "$url_literal" ] || fail "the example sets no server URL"

# A loopback address of this run's own and a port of its own.
address=127.$((RANDOM % 200 + 30)).$((RANDOM % 256)).7
port=$((RANDOM % 20000 + 20000))
sed "s|\"$url_literal\"|\"https://$address:$port\"|" "$work/example.cpp" >"$work/game.cpp"
cmp -s "$work/example.cpp" "$work/game.cpp" && fail "the URL literal was not found to replace"
echo 'int RunGame();' >"$work/run_game.h"
echo 'int RunGame() { return 0; }' >"$work/run_game.cpp"

# The library beside the program, so its workspace is this run's directory.
cp "$library" "$work/$(basename "$library")"
soname=$(objdump -p "$library" | awk '/SONAME/{print $2}')
[ -n "$soname" ] && [ ! -e "$work/$soname" ] && cp "$library" "$work/$soname"
"$cxx" -std=c++17 -I"$include_dir" -include "$work/run_game.h" "$work/game.cpp" "$work/run_game.cpp" \
  "$work/$(basename "$library")" -Wl,-rpath,"$work" -o "$work/game" || fail "the example does not compile as it stands"

"$collector" --listen "$address" --port "$port" --db "$work/collector.db" --ready-file "$work/collector.ready" \
  --stop-file "$work/collector.stop" >"$work/collector.out" 2>&1 &
collector_pid=$!
for _ in $(seq 150); do [ -e "$work/collector.ready" ] && break; sleep 0.1; done
[ -e "$work/collector.ready" ] || { cat "$work/collector.out"; fail "the collector does not listen on $address:$port"; }

(cd "$work" && ./game) || fail "the example exited with $?"

# The report is synchronous: it has arrived when the program ends.
touch "$work/collector.stop"
for _ in $(seq 200); do [ -e "$work/collector.stop" ] || break; sleep 0.1; done
arrived=$(sqlite3 "$work/collector.db" \
  "SELECT count(*) FROM reports WHERE expName='ScriptError' AND expMessage='nil value' AND callStack='main.lua:12'")
cat "$work/collector.out"
[ "$arrived" = "1" ] || fail "the example's report arrived $arrived times, not once"
echo "the README example's report arrived at https://$address:$port"
