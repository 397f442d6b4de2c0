#!/usr/bin/env bash
# `make test`: installs what is missing, builds both targets and runs every
# test: the native unit tests (also under AddressSanitizer + UndefinedBehavior-
# Sanitizer, and the concurrency tests under ThreadSanitizer), the Windows unit
# tests and DLL host under Wine, and the export-table checks of both libraries.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

step() { printf '\n==== %s\n' "$*"; }
die() { echo "run_tests: $*" >&2; exit 1; }

step "packages"
bash scripts/install_packages.sh || die "package installation failed"
step "Windows dependencies (cached in $VEXTRA_CACHE_DIR)"
vextra_load_deps || die "building the Windows dependencies failed"
step "Wine prefix"
bash scripts/setup_wine.sh >/dev/null || die "creating the Wine prefix failed"

step "build: Linux"
bash scripts/build_native.sh build/linux || die "Linux build failed"
step "build: Windows"
bash scripts/build_windows.sh build/windows || die "Windows build failed"
step "build: Linux under AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/build_native.sh build/asan -DVEXTRA_SANITIZE=address,undefined -DVEXTRA_BUILD_EXAMPLES=OFF ||
  die "ASan/UBSan build failed"
tsan_layers=(log core db report uploader api)
step "build: Linux concurrency tests under ThreadSanitizer"
bash scripts/build_native.sh build/tsan -DVEXTRA_SANITIZE=thread -DVEXTRA_BUILD_EXAMPLES=OFF -DVEXTRA_BUILD_TOOLS=OFF \
  -- $(printf 'vextra_%s_tests ' "${tsan_layers[@]}") || die "TSan build failed"

passed=0
failed=0
# Adds one ctest run's counts to the totals; further arguments go to ctest.
run_ctest() {
  local label=$1 dir=$2 log
  step "tests: $label"
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure --timeout 600 "${@:3}" 2>&1 | tee "$log"
  local summary
  summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
  else
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  rm -f "$log"
}

# Tests that need the collector fail, not skip, when this run cannot start it.
export VEXTRA_REQUIRE_COLLECTOR=1
run_ctest "Linux" build/linux

# A sanitizer finding aborts the program it happens in (a test, or a collector
# it started) and leaves a report: ASan, LSan and TSan write report files,
# UBSan writes "runtime error:" to the test's output. Each counts as a failure.
run_sanitized() {
  local label=$1 dir=$2 reports=$REPO_DIR/$2/sanitizer-reports report
  rm -rf "$reports" && mkdir -p "$reports"
  local common="halt_on_error=1:log_path=$reports/report"
  ASAN_OPTIONS="$common:detect_leaks=1" LSAN_OPTIONS="suppressions=$REPO_DIR/tests/lsan_suppressions.txt:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    TSAN_OPTIONS="$common:second_deadlock_stack=1:suppressions=$REPO_DIR/tests/tsan_suppressions.txt" \
    run_ctest "$label" "$dir" --output-junit "$reports/output.xml" "${@:3}"
  for report in "$reports"/report*; do
    [ -e "$report" ] || continue
    cat "$report"
    failed=$((failed + 1))
  done
  local ub
  ub=$(grep -c 'runtime error:' "$reports/output.xml" 2>/dev/null)
  failed=$((failed + ${ub:-0}))
}
run_sanitized "Linux, ASan + UBSan" build/asan
# ThreadSanitizer: every test of the layers holding the ring, the SDK log, the
# settings, the user values and the database; elsewhere the tests named for threads.
run_sanitized "Linux, TSan (log, settings, database, user values)" build/tsan -R '^(log|core|db|report)$'
# The TSan build has no tools: its upload tests use the Linux build's collector.
GTEST_FILTER='*Concurren*:*Thread*:*Parallel*' \
  VEXTRA_COLLECTOR="${VEXTRA_COLLECTOR:-$REPO_DIR/build/linux/tools/vextra-collector}" \
  run_sanitized "Linux, TSan (concurrency tests of other layers)" build/tsan -R '^(uploader|api)$'
# The Windows upload tests talk to the Linux collector, which they start
# themselves (VEXTRA_COLLECTOR given to `make test` names another one).
export VEXTRA_COLLECTOR="${VEXTRA_COLLECTOR:-$REPO_DIR/build/linux/tools/vextra-collector}"
run_ctest "Windows (Wine)" build/windows

# Counts one checking command as one test.
run_check() {
  local label=$1
  shift
  step "$label"
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAIL $label"
    failed=$((failed + 1))
  fi
}

run_check "installed package, Linux: symbols, find_package and pkg-config hosts" \
  bash examples/installed_host/check_package.sh linux build/linux
run_check "installed package, Windows: symbols, find_package host under Wine" \
  bash examples/installed_host/check_package.sh windows build/windows

step "export tables"
while IFS= read -r line; do
  echo "$line"
  case "$line" in ok*) passed=$((passed + 1)) ;; FAIL*) failed=$((failed + 1)) ;; esac
done < <(bash scripts/check_exports.sh build/windows/Vextra64.dll build/linux/libVextra64.so 2>&1)

echo
echo "all: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
