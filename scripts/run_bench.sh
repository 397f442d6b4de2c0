#!/usr/bin/env bash
# `make bench`: builds the shipped library (build/linux, the optimised build
# `make test` uses) and the benchmarks beside it, and runs them. The benchmarks
# load libVextra64.so with dlopen as a host does; Google Benchmark's console
# table and PrintLog's ratio to a naive append go to standard output.
# Arguments are passed to the benchmark program (e.g. --benchmark_repetitions=5).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

bash scripts/install_packages.sh >&2
bash scripts/build_native.sh build/linux -DVEXTRA_BUILD_BENCH=ON -- vextra_bench vextra_report_bench >&2
build/linux/bench/vextra_bench --benchmark_counters_tabular=true "$@"
# Error reports: the caller's cost against MD5, and delivery through the
# collector against a bare TLS POST loop (the collector listens on port 443).
build/linux/bench/vextra_report_bench "$@"
