#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer programs of fuzz/ with clang-14 under
# AddressSanitizer and UndefinedBehaviorSanitizer, runs each in turn for
# VEXTRA_FUZZ_SECONDS (default 60), or until VEXTRA_FUZZ_RUNS inputs when that
# is set and comes first, starting from its seeds in fuzz/corpus/ (and its
# dictionary fuzz/<target>.dict if any), and prints the executions per target. A finding stops its target, leaves the
# input in build/fuzz/findings/ (keep it in fuzz/regressions/<target>/ once
# mended) and fails the run. Some targets only: scripts/run_fuzz.sh body_codec ...
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

die() { echo "run_fuzz: $*" >&2; exit 1; }
seconds=${VEXTRA_FUZZ_SECONDS:-60}
build_dir=$REPO_DIR/build/fuzz

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

bash scripts/install_packages.sh || die "package installation failed"
bash scripts/build_native.sh "$build_dir" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVEXTRA_FUZZ=ON -DVEXTRA_SANITIZE=address,undefined -DVEXTRA_BUILD_TESTS=OFF -DVEXTRA_BUILD_EXAMPLES=OFF \
  -- "${targets[@]/%/_fuzz}" || die "building the fuzz targets failed"

mkdir -p "$build_dir/findings"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
results=()
failed=0
for target in "${targets[@]}"; do
  work=$build_dir/corpus/$target
  log=$build_dir/$target.log
  mkdir -p "$work"
  extra=()
  [ -f "fuzz/$target.dict" ] && extra+=("-dict=fuzz/$target.dict")
  [ -n "${VEXTRA_FUZZ_RUNS:-}" ] && extra+=("-runs=$VEXTRA_FUZZ_RUNS")
  echo "== $target: ${seconds} s (log: $log)"
  start=$(date +%s)
  # Standard output is closed: the code under test may print a line per input.
  "$build_dir/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 -close_fd_mask=1 "${extra[@]}" \
    -artifact_prefix="$build_dir/findings/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1
  rc=$?
  elapsed=$(($(date +%s) - start))
  execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -1)
  verdict=ok
  if [ $rc -ne 0 ]; then
    verdict="FINDING (exit $rc)"
    failed=$((failed + 1))
    grep -E 'ERROR|FUZZ_CHECK|runtime error|Test unit written' "$log" | head -5
  fi
  results+=("$(printf '%-18s %12s execs %6s s  %s' "$target" "${execs:-?}" "$elapsed" "$verdict")")
done

echo
printf '%s\n' "${results[@]}"
[ "$failed" -eq 0 ]
