// The cost of one host log line through the exports, against formatting the
// same record with snprintf alone.

#include <benchmark/benchmark.h>

#include <cstdio>

#include "log/native_log_ring.h"
#include "vextra.h"

namespace {

// 60 bytes, a typical engine log line.
constexpr char kMessage[] = "Player 1042 entered zone Harbor-07 with 3 party members (ok)";
static_assert(sizeof kMessage - 1 == 60, "the message is 60 bytes");

void BM_PrintLog(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(PrintLog(2, "Game", "%s", kMessage));
  }
}
BENCHMARK(BM_PrintLog);

void BM_PrintLogSafeUnfiltered(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(VX_PrintLogSafe(false, 2, "Game", kMessage));
  }
}
BENCHMARK(BM_PrintLogSafeUnfiltered);

// The record alone: "<time> <level> <tag> <message>" into a ring-sized buffer.
void BM_SnprintfRecord(benchmark::State& state) {
  char record[Vextra::kNativeLogCapacity];
  const char* time_text = "12-09 02:28:00";
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(record, sizeof record, "%s %s %s %s", time_text, "I", "Game", kMessage));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SnprintfRecord);

}  // namespace
