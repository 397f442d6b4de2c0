#!/usr/bin/env bash
# Has the minidump tests write one dump of each flavour, then checks that
# vextra-dump-check accepts them and that LLDB opens them as cores and shows
# the crash: the threads, the faulting thread's registers and stop reason,
# and each module with its debug identifier.
#   check_lldb_opens_dumps.sh <vextra_minidump_tests> <vextra-dump-check>
set -uo pipefail
tests=$1
dump_check=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

lldb=$(command -v lldb-14 || command -v lldb || true)
[ -n "$lldb" ] || { echo "FAIL: lldb-14 is not installed (scripts/install_packages.sh installs it)"; exit 1; }
# LLDB's batch mode needs its Python package, or it waits for one.
python_dir=$(dpkg -L python3-lldb-14 2>/dev/null | grep -m1 -E '/dist-packages/lldb$' | xargs -r dirname)

VEXTRA_MINIDUMP_SAMPLE_DIR=$work "$tests" --gtest_filter='MinidumpDebuggerSample.*' --gtest_brief=1 >"$work/tests.log" 2>&1 ||
  { cat "$work/tests.log"; echo "FAIL: writing the sample dumps"; exit 1; }

failed=0
expect() {  # expect <file> <text>
  if ! grep -qF -- "$2" "$1"; then
    echo "FAIL: $(basename "$1") lacks: $2"
    failed=1
  fi
}

for flavour in linux windows; do
  dump=$work/$flavour.dmp
  "$dump_check" "$dump" >"$work/$flavour.check" 2>&1 || { cat "$work/$flavour.check"; echo "FAIL: vextra-dump-check refused $flavour.dmp"; failed=1; }
  PYTHONPATH=${python_dir:-} timeout 60 "$lldb" --batch -o "target create --core $dump" -o "thread list" \
    -o "register read rip rsp rbp" -o "image list" -o "memory read -c 4 0x7ffff000f000" >"$work/$flavour.lldb" 2>&1
  echo "== $flavour.dmp in $(basename "$lldb")"
  grep -E 'thread #|rip =|rsp =|^\[ *[0-9]+\]|0x7ffff000f000:|error' "$work/$flavour.lldb"
  expect "$work/$flavour.lldb" "(x86_64) was loaded"
  expect "$work/$flavour.lldb" "* thread #1: tid = "
  expect "$work/$flavour.lldb" "0x0000555555555123"
  expect "$work/$flavour.lldb" "rsp = 0x00007ffff000f000"
  expect "$work/$flavour.lldb" "rbp = 0x00007ffff000f100"
  # The stack as stored: the fake process's pattern for thread 4242 at rsp.
  expect "$work/$flavour.lldb" "0x7ffff000f000: ee 0d 2c 4b"
  expect "$work/$flavour.lldb" "thread #3: tid = "
done
expect "$work/linux.lldb" "tid = 4242, 0x0000555555555123 game, stop reason = signal SIGSEGV"
expect "$work/linux.lldb" "00010203-0405-0607-0809-0A0B0C0D0E0F-10111213 0x0000555555554000 /opt/game/bin/game"
expect "$work/windows.lldb" "stop reason = Exception 0xc0000005 encountered at address 0x000010"
expect "$work/windows.lldb" "13121110-1514-1716-1819-1A1B1C1D1E1F-00000001 0x0000555555554000 C:\\Games\\game.exe"
[ $failed -eq 0 ] && echo "LLDB opened both dumps"
exit $failed
