#!/usr/bin/env bash
# Opens in LLDB the dumps the library's own writer made when dbghelp.dll
# failed (returned FALSE, faulted, or could not be loaded) and checks what a
# developer sees: the faulting thread selected with the exception code, as
# many threads as the dump lists, and a frame of the host and one of
# Vextra64.dll by name, the library's names coming from its separate DWARF
# file.
#   check_fallback_dumps_lldb.sh <Vextra64.dll.debug> <run> <fallback driver and its arguments...>
# run: the command that runs a Windows program (scripts/wine_run.sh). The
# dump checker is VEXTRA_DUMP_CHECK, or vextra-dump-check beside the Linux
# collector named by VEXTRA_COLLECTOR.
set -uo pipefail
library_debug=$1
run=$2
shift 2
# The Windows paths the driver prints are turned into files by Wine's own
# winepath, in the test prefix the run command uses.
# shellcheck source=scripts/setup_wine.sh
. "$(dirname "$run")/setup_wine.sh"
vextra_wine_env
checker=${VEXTRA_DUMP_CHECK:-$(dirname "${VEXTRA_COLLECTOR:-}")/vextra-dump-check}
[ -x "$checker" ] || { echo "FAIL: no dump checker at $checker"; exit 1; }
lldb=$(command -v lldb-14) || { echo "FAIL: lldb-14 is not installed"; exit 1; }
# Batch mode needs LLDB's own Python package, or it waits forever.
for dir in /usr/lib/llvm-14/lib/python3*/dist-packages; do
  [ -f "$dir/lldb/embedded_interpreter.py" ] && export PYTHONPATH="$dir${PYTHONPATH:+:$PYTHONPATH}"
done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
VEXTRA_CRASH_KEEP_RUNS=1 "$run" "$@" --gtest_filter='Dbghelp/CrashFallback.*/dbghelp_*' >"$log" 2>&1
driver=$?
grep -E '^\[ *(OK|FAILED) *\]|kept ' "$log"
failures=0
[ "$driver" -eq 0 ] || { echo "FAIL: the fallback driver failed ($driver)"; failures=1; }
cases=0
while IFS= read -r kept; do
  dir=$(winepath -u "$kept" 2>/dev/null | tr -d '\r')
  dump=$(ls "$dir"/pxr64/dump/HcDump.HcS.*.dmp 2>/dev/null | grep -v -- '-small' | head -n 1)
  host=$(ls "$dir"/*.exe 2>/dev/null | head -n 1)
  cases=$((cases + 1))
  if [ -z "$dump" ] || [ -z "$host" ]; then
    echo "FAIL: no dump or host in $dir"
    failures=$((failures + 1))
    continue
  fi
  threads=$("$checker" "$dump" | sed -nE 's/^threads: ([0-9]+).*/\1/p')
  out=$(timeout 120 "$lldb" -b -o "target create \"$host\" --core \"$dump\"" \
    -o "target symbols add \"$library_debug\"" -o "thread list" -o "bt" 2>&1 | tr -d '\000')
  listed=$(printf '%s\n' "$out" | grep -cE '^[* ] thread #[0-9]+: tid')
  problems=()
  printf '%s\n' "$out" | grep -E '^\* thread #' | grep -q 'Exception 0xc0000005' ||
    problems+=("the selected thread does not stop on exception 0xc0000005")
  [ -n "$threads" ] && [ "$listed" -eq "$threads" ] ||
    problems+=("LLDB lists $listed threads, the dump holds ${threads:-?}")
  host_name=$(basename "$host")
  printf '%s\n' "$out" | grep -qF "$host_name\`main" || problems+=("no named frame of the host ($host_name)")
  printf '%s\n' "$out" | grep -qE 'Vextra64\.dll`[A-Za-z_:]' || problems+=("no named frame of Vextra64.dll")
  # The library's frame at the fault, looked up in its DWARF file: a line.
  pc=$(printf '%s\n' "$out" | sed -nE 's/^\* thread #[0-9]+: tid = [^,]+, (0x[0-9a-f]+) Vextra64\.dll`.*/\1/p' | head -n 1)
  lookup=$(timeout 120 "$lldb" -b -o "target create \"$host\" --core \"$dump\"" \
    -o "target symbols add \"$library_debug\"" -o "image lookup -a ${pc:-0}" 2>&1 | tr -d '\000')
  printf '%s\n' "$lookup" | grep -qE 'Summary: Vextra64\.dll`.* at ([^ ]*:)?[0-9]+:[0-9]+' ||
    problems+=("no source line of Vextra64.dll at the fault from its DWARF file")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "PASS: $dump ($listed threads)"
    rm -rf "$dir"
  else
    echo "$out"
    for problem in "${problems[@]}"; do echo "FAIL: $dump: $problem"; done
    failures=$((failures + 1))
  fi
done < <(sed -nE 's/^ *kept (.*)$/\1/p' "$log" | tr -d '\r')
[ "$cases" -eq 3 ] || { echo "FAIL: $cases kept runs, expected one per dbghelp case"; failures=$((failures + 1)); }
exit $((failures > 0))
