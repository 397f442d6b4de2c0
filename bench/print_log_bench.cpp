// The cost of one host log line through the shipped library, against the
// append a developer would write by hand, measured in the same process.
//
// libVextra64.so is loaded the way a host loads it (dlopen, then dlsym of the
// export), from this build or from VEXTRA_BENCH_LIBRARY. After the table the
// program prints PrintLog's CPU time as a multiple of the naive append's.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "vextra.h"

namespace {

// 60 bytes, a typical engine log line.
constexpr char kMessage[] = "Player 1042 entered zone Harbor-07 with 3 party members (ok)";
static_assert(sizeof kMessage - 1 == 60, "the message is 60 bytes");

// The size of the library's log ring.
constexpr size_t kRingBytes = 30720;

struct ShippedLibrary {
  std::string path;
  void* handle = nullptr;
  decltype(&PrintLog) print_log = nullptr;
  decltype(&VX_PrintLogSafe) print_log_safe = nullptr;
};

ShippedLibrary& Library() {
  static ShippedLibrary library = [] {
    ShippedLibrary loaded;
    const char* chosen = std::getenv("VEXTRA_BENCH_LIBRARY");
    loaded.path = chosen != nullptr && *chosen != '\0' ? chosen : VEXTRA_SHIPPED_LIBRARY;
    loaded.handle = dlopen(loaded.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (loaded.handle == nullptr) {
      std::fprintf(stderr, "cannot load %s: %s\n", loaded.path.c_str(), dlerror());
      std::exit(2);
    }
    loaded.print_log = reinterpret_cast<decltype(&PrintLog)>(dlsym(loaded.handle, "PrintLog"));
    loaded.print_log_safe = reinterpret_cast<decltype(&VX_PrintLogSafe)>(dlsym(loaded.handle, "VX_PrintLogSafe"));
    if (loaded.print_log == nullptr || loaded.print_log_safe == nullptr) {
      std::fprintf(stderr, "%s lacks PrintLog or VX_PrintLogSafe\n", loaded.path.c_str());
      std::exit(2);
    }
    return loaded;
  }();
  return library;
}

// The straightforward way to keep host log lines in a ring: the time text of
// every line from the C library, the message and the record formatted with
// snprintf, the record copied into the ring under a mutex.
class NaiveLog {
 public:
  bool Append(int level, const char* tag, const char* format, ...) {
    static const char* const kLevels[] = {"V", "D", "I", "W", "A", "E", "Ex"};
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char time_text[16];
    std::strftime(time_text, sizeof time_text, "%m-%d %H:%M:%S", &local);

    char message[4096];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (length < 0) return false;
    char record[kRingBytes];
    int size = std::snprintf(record, sizeof record, "%s %s %s %s\n", time_text, kLevels[level], tag, message);
    if (size < 0) return false;
    size_t count = std::min(static_cast<size_t>(size), sizeof record - 1);

    std::lock_guard<std::mutex> lock(mutex_);
    size_t first = std::min(count, kRingBytes - position_);
    std::memcpy(ring_ + position_, record, first);
    std::memcpy(ring_, record + first, count - first);
    position_ = (position_ + count) % kRingBytes;
    return true;
  }

 private:
  std::mutex mutex_;
  char ring_[kRingBytes] = {};
  size_t position_ = 0;
};

void BM_PrintLog(benchmark::State& state) {
  auto print_log = Library().print_log;
  for (auto _ : state) {
    if (!print_log(2, "Game", "%s", kMessage)) {
      state.SkipWithError("PrintLog stored nothing");
      break;
    }
  }
}
BENCHMARK(BM_PrintLog);

void BM_NaiveAppend(benchmark::State& state) {
  static NaiveLog log;
  for (auto _ : state) {
    if (!log.Append(2, "Game", "%s", kMessage)) {
      state.SkipWithError("the naive append failed");
      break;
    }
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_NaiveAppend);

void BM_PrintLogSafeUnfiltered(benchmark::State& state) {
  auto print_log_safe = Library().print_log_safe;
  for (auto _ : state) {
    benchmark::DoNotOptimize(print_log_safe(false, 2, "Game", kMessage));
  }
}
BENCHMARK(BM_PrintLogSafeUnfiltered);

// The record alone: "<time> <level> <tag> <message>" into a ring-sized buffer.
void BM_SnprintfRecord(benchmark::State& state) {
  char record[kRingBytes];
  const char* time_text = "12-09 02:28:00";
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(record, sizeof record, "%s %s %s %s", time_text, "I", "Game", kMessage));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SnprintfRecord);

// The console table, and the CPU time of each benchmark for the closing ratio
// (the median when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so a saved table stays plain text.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      cpu_ns_[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double CpuNs(const std::string& name) const {
    auto found = cpu_ns_.find(name);
    return found == cpu_ns_.end() ? 0.0 : found->second;
  }

 private:
  std::map<std::string, double> cpu_ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("library: %s\n", Library().path.c_str());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  double print_log = reporter.CpuNs("BM_PrintLog");
  double naive = reporter.CpuNs("BM_NaiveAppend");
  if (print_log > 0 && naive > 0) {
    std::printf("\nPrintLog through the shipped library: %.1f ns, naive append: %.1f ns -> %.2fx (goal: at most 1.0x)\n",
                print_log, naive, print_log / naive);
  }
  return 0;
}
