// The minidump writer's cost on a crash: one dump of a 50-thread process
// (a snapshot made here: stacks of a few KiB in use, 120 modules with build
// ids, the Linux streams) written to a file with pwrite, as the crash path
// writes it. Reported per dump: the time and the file's size, beside the
// goals of 50 ms and 1 MiB. VEXTRA_BENCH_DUMP=<path> keeps the last dump.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "minidump/fake_snapshot.h"
#include "minidump/minidump_file_writer.h"
#include "minidump/minidump_format.h"

namespace {

using namespace Vextra::minidump;
using vextra_test::FakeSnapshot;

class FileOutput : public DumpOutput {
 public:
  explicit FileOutput(int fd) : fd_(fd) {}
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
      const ssize_t written = pwrite(fd_, bytes, size, static_cast<off_t>(offset));
      if (written <= 0) return false;
      bytes += written;
      offset += static_cast<uint64_t>(written);
      size -= static_cast<size_t>(written);
    }
    return true;
  }

 private:
  int fd_;
};

const FakeSnapshot& FiftyThreads() {
  static const FakeSnapshot* snapshot = [] {
    auto* made = new FakeSnapshot();
    for (uint32_t i = 0; i < 50; ++i) {
      // 1 MiB stacks, 1 to 12 KiB in use; the faulting thread uses 48 KiB.
      const uint64_t low = 0x7F0000000000 + uint64_t{i} * 0x200000;
      const uint64_t high = low + 0x100000;
      const uint64_t used = i == 0 ? 0xC000 : 0x400 + (i % 12) * 0x400;
      ThreadFacts& thread = made->AddThread(20000 + i, low, high, high - used);
      thread.registers.rip = 0x555555554000 + 0x1000 + i * 0x10;
      thread.registers.has_fxsave = true;
    }
    for (uint32_t i = 0; i < 120; ++i) {
      std::string record("LEpB", 4);  // the ELF record's signature, then a 20-byte build id
      for (int b = 0; b < 20; ++b) record += static_cast<char>(i * 13 + b);
      made->AddModule(0x7F8000000000 + uint64_t{i} * 0x400000, 0x200000,
                      "/usr/lib/x86_64-linux-gnu/libexample-module-" + std::to_string(i) + ".so.1", record);
    }
    made->AddMemory(0x555555554000, FakeSnapshot::Pattern(1, 0x10000));
    made->AddMemory(0x600000, FakeSnapshot::Pattern(2, 0x2000));
    made->AddExtraStream(kLinuxMapsStream, std::string(120 * 4 * 100, 'm'), 4096);  // a line per mapping
    made->AddExtraStream(kLinuxProcStatusStream, std::string(1400, 's'), 4096);
    made->AddExtraStream(kLinuxCmdLineStream, std::string("game\0--level\0forest\0", 20), 4096);
    made->AddExtraStream(kLinuxAuxvStream, std::string(368, 'a'), 4096);
    made->AddExtraStream(kLinuxLsbReleaseStream, std::string(400, 'o'), 4096);
    made->AddExtraStream(kLinuxCpuInfoStream, std::string(2 * 1500, 'c'), 4096);
    ExceptionFacts& exception = made->exception();
    exception.thread_id = 20000;
    exception.code = 11;
    exception.address = 0x600800;
    exception.registers = made->thread(0).registers;
    return made;
  }();
  return *snapshot;
}

void BM_WriteMinidump50Threads(benchmark::State& state) {
  const FakeSnapshot& snapshot = FiftyThreads();
  const char* keep = std::getenv("VEXTRA_BENCH_DUMP");
  const std::string path = keep != nullptr ? keep : "/tmp/vextra-minidump-bench-" + std::to_string(getpid()) + ".dmp";
  uint64_t size = 0;
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
      state.SkipWithError("cannot create the dump file");
      return;
    }
    FileOutput out(fd);
    size = WriteMinidump(snapshot, out);
    close(fd);
    if (size == 0) {
      state.SkipWithError("the dump failed");
      return;
    }
  }
  if (keep == nullptr) unlink(path.c_str());
  state.counters["dump_bytes"] = static_cast<double>(size);
  state.counters["dump_KiB"] = static_cast<double>(size) / 1024.0;
  state.counters["goal_bytes"] = 1024.0 * 1024.0;
  state.counters["dumps_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteMinidump50Threads)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
