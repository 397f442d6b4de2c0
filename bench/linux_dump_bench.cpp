// The Linux crash dump of a process of 50 threads (this one and 49 that wait,
// or spin, on stacks of their own), stopped, captured and written to a file
// the way the crash path does it. Reports the dump's size and the time from the
// stop to the written file, each beside its goal (under 1 MiB, under 50 ms).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "crash/thread_stop_posix.h"
#include "minidump/linux_process_snapshot.h"
#include "minidump/minidump_file_writer.h"

namespace {

constexpr int kOtherThreads = 49;
constexpr uint64_t kSizeGoalBytes = 1u << 20;
constexpr double kTimeGoalMs = 50.0;

class FileOutput final : public Vextra::minidump::DumpOutput {
 public:
  explicit FileOutput(int fd) : fd_(fd) {}
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    return pwrite(fd_, data, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  }

 private:
  int fd_;
};

// A few frames of stack below the thread's resting place, as a real thread
// has. It rests in a blocking read of wake (a waiting worker) or spins until
// stop (a busy one, which competes for the cores with the crashing thread).
__attribute__((noinline)) void Rest(bool busy, int wake, std::atomic<bool>& stop, int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth > 0) return Rest(busy, wake, stop, depth - 1);
  if (busy) {
    while (!stop.load(std::memory_order_relaxed)) {
    }
  } else {
    char byte;
    while (read(wake, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  (void)frame[0];
}

// Argument 0: the other threads wait, as most of a game's threads do;
// 1: they all spin, the worst case on a machine with few cores.
void BM_LinuxDumpOf50Threads(benchmark::State& state) {
  const bool busy = state.range(0) != 0;
  Vextra::InstallThreadStopHandler();
  std::atomic<bool> stop{false};
  std::atomic<int> running{0};
  int wake[2];
  if (pipe(wake) != 0) return state.SkipWithError("no pipe");
  std::vector<std::thread> threads;
  for (int i = 0; i < kOtherThreads; ++i) {
    threads.emplace_back([&] {
      ++running;
      Rest(busy, wake[0], stop, 16);
    });
  }
  while (running.load() < kOtherThreads) std::this_thread::yield();

  auto snapshot = std::make_unique<Vextra::minidump::LinuxProcessSnapshot>();
  snapshot->PrepareSystemFacts();
  char path[] = "/tmp/vextra-dump-bench-XXXXXX";
  const int fd = mkstemp(path);
  uint64_t size = 0;
  for (auto _ : state) {
    ucontext_t context;
    getcontext(&context);
    const Vextra::minidump::CrashSignalFacts crash{SIGSEGV, SEGV_MAPERR, 0x9C40,
                                                  static_cast<uint32_t>(syscall(SYS_gettid)), &context};
    ftruncate(fd, 0);
    snapshot->Capture(crash);
    FileOutput out(fd);
    size = Vextra::minidump::WriteMinidump(*snapshot, out);
    snapshot->Release();
    if (size == 0) state.SkipWithError("the dump was not written");
  }
  close(fd);
  unlink(path);
  stop.store(true);
  close(wake[1]);  // every waiting read ends
  for (auto& t : threads) t.join();
  close(wake[0]);
  state.counters["dump_bytes"] = static_cast<double>(size);
  state.counters["threads"] = kOtherThreads + 1;
}
BENCHMARK(BM_LinuxDumpOf50Threads)->ArgName("busy")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(20);

// Each figure beside its goal, after Google Benchmark's table.
class GoalReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const double ms = run.GetAdjustedRealTime();  // in the benchmark's unit, milliseconds
      const auto bytes = run.counters.find("dump_bytes");
      const double size = bytes != run.counters.end() ? bytes->second.value : 0;
      std::printf("%s: dump of 50 threads: %.0f bytes (goal under %llu), %.2f ms (goal under %.0f)\n",
                  run.benchmark_name().c_str(), size, static_cast<unsigned long long>(kSizeGoalBytes), ms,
                  kTimeGoalMs);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  GoalReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
