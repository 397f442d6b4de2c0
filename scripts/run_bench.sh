#!/usr/bin/env bash
# `make bench`: builds the benchmarks in Release mode and runs them; Google
# Benchmark's console table goes to standard output.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

bash scripts/install_packages.sh >&2
bash scripts/build_native.sh build/bench -DCMAKE_BUILD_TYPE=Release -DVEXTRA_BUILD_BENCH=ON \
  -DVEXTRA_BUILD_TESTS=OFF -DVEXTRA_BUILD_TOOLS=OFF -DVEXTRA_BUILD_EXAMPLES=OFF -- vextra_bench >&2
build/bench/bench/vextra_bench --benchmark_counters_tabular=true "$@"
