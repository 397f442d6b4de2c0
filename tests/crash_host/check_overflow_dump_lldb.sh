#!/usr/bin/env bash
# Opens a crash dump of the crash host's stack overflow in LLDB and checks
# that the thread the exception names shows the recursing function at the top
# of its stack, as a developer would see it:
#   check_overflow_dump_lldb.sh <vextra_crash_host.exe> <dump.dmp> [function]
# function: the name expected in the faulting thread's top frames (default:
# Recurse, the crash host's own recursion).
set -euo pipefail
host=$1
dump=$2
function=${3:-Recurse}
lldb=$(command -v lldb-14 || command -v lldb)
# Batch mode needs LLDB's own Python package, or it waits forever.
for dir in /usr/lib/llvm-14/lib/python3*/dist-packages; do
  [ -f "$dir/lldb/embedded_interpreter.py" ] && export PYTHONPATH="$dir${PYTHONPATH:+:$PYTHONPATH}"
done
# Only the thread list: LLDB 14 overflows its own stack when it unwinds
# thousands of frames of GCC-built code ("bt" ends in a segmentation fault).
out=$(timeout 120 "$lldb" -b -o "target create \"$host\" --core \"$dump\"" -o "thread list" 2>&1 | tr -d '\000')
echo "$out"
# The selected thread ("* thread #") is the one the exception names, shown
# with the function at the top of its stack.
if printf '%s\n' "$out" | grep -E '^\* thread #' | grep -q "\`.*$function"; then
  echo "PASS: the faulting thread's top frame is in $function"
else
  echo "FAIL: the faulting thread's top frame is not in $function"
  exit 1
fi
