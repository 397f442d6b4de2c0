#!/usr/bin/env bash
# `make bench`: builds the shipped library (build/linux, the optimised build
# `make test` uses) and the benchmarks beside it, and runs them. The benchmarks
# load libVextra64.so with dlopen as a host does; Google Benchmark's console
# table and PrintLog's ratio to a naive append go to standard output.
# Arguments are passed to the benchmark program (e.g. --benchmark_repetitions=5).
# Then crash capture under Wine (vextra_crash_bench, a timed tool): C++
# throw/catch with and without the library, and a fault's delivery against a
# bare MiniDumpWriteDump plus one HTTPS POST; VEXTRA_CRASH_BENCH_RUNS runs each.
# The ingest rate of the collector against a bare TLS server: bench/ingest_bench.sh
# (its VEXTRA_INGEST_* settings are described there).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

bash scripts/install_packages.sh >&2
bash scripts/build_native.sh build/linux -DVEXTRA_BUILD_BENCH=ON -- vextra_bench vextra_report_bench vextra_minidump_bench vextra_dump_bench vextra_crash_bench_linux vextra-collector \
  vextra-ingest-sink vextra-ingest-load vextra_web_view_bench vextra_symbolizer_bench vextra_stack_walk_bench >&2
build/linux/bench/vextra_bench --benchmark_counters_tabular=true "$@"
# The minidump writer: time and size of one dump of a 50-thread process (goals 50 ms, 1 MiB).
build/linux/bench/vextra_minidump_bench --benchmark_counters_tabular=true "$@"
# Error reports: the caller's cost against MD5, and delivery through the
# collector against a bare TLS POST loop (the collector listens on port 443).
build/linux/bench/vextra_report_bench "$@"
# The Linux crash dump of a real 50-thread process: threads stopped, snapshot, file.
build/linux/bench/vextra_dump_bench "$@"
# The collector's stack walk of a real crash dump, every thread (goal: a crash symbolised in under 2 s).
build/linux/bench/vextra_stack_walk_bench --benchmark_counters_tabular=true "$@"
# Ingest: the collector (SQLite, and PostgreSQL when it takes one) against a
# bare TLS server that drops each body, 32 clients, with the ratio to that ceiling.
bash bench/ingest_bench.sh build/linux
# Crash capture on Linux: fault to stored report against one HTTPS POST of the same body.
build/linux/bench/vextra_crash_bench_linux build/linux/libVextra64.so \
  build/linux/tests/crash_host_linux/vextra_crash_host_linux "${VEXTRA_CRASH_BENCH_RUNS:-7}"
# The collector's web view with 100,000 reports: server time of its pages (goal 100 ms).
web_bench_dir=$(mktemp -d)
build/linux/bench/vextra_web_view_bench "$web_bench_dir/collector.db"
rm -rf "$web_bench_dir"
# Crash capture under Wine, each figure beside its goal.
bash scripts/build_windows.sh build/windows -DVEXTRA_BUILD_BENCH=ON -- vextra_crash_bench >&2
VEXTRA_COLLECTOR="${VEXTRA_COLLECTOR:-$REPO_DIR/build/linux/tools/vextra-collector}" \
  bash scripts/wine_run.sh build/windows/bench/vextra_crash_bench.exe build/windows/Vextra64.dll \
  build/windows/tests/crash_host/vextra_crash_host.exe build/windows/tests/crash_host/vextra_crash_module.dll \
  "${VEXTRA_CRASH_BENCH_RUNS:-7}"
# The collector's symboliser: 32 offsets looked up in the DLL's debug file,
# cold (its pages dropped from the cache first) and warm.
build/linux/bench/vextra_symbolizer_bench build/windows/Vextra64.dll.debug "$@"
