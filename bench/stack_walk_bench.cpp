// The collector's stack walk of a real Linux crash dump: the crash host
// (tests/crash_host_linux) crashes with ten threads of its own beside the
// library's, and every thread is walked with the real files of its modules
// (read anew in each walk, as the collector does per report), and without
// them (frame pointers and the stack scan only).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "stackwalk/stack_walker.h"

namespace {

namespace fs = std::filesystem;

class FilesOnDisk : public collector::ModuleFiles {
 public:
  explicit FilesOnDisk(bool give) : give_(give) {}
  std::string PathFor(const Vextra::minidump::DumpModule& module) override {
    std::error_code error;
    return give_ && fs::is_regular_file(module.name, error) ? module.name : "";
  }

 private:
  bool give_;
};

const std::string& Dump() {
  static const std::string dump = [] {
    char pattern[] = "/tmp/vextra_walk_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return std::string();
    const fs::path dir = pattern;
    fs::copy_file(VEXTRA_LIBRARY_PATH, dir / "libVextra64.so");
    fs::copy_file(VEXTRA_LINUX_CRASH_HOST, dir / "crash_host");
    const std::string command = "cd '" + dir.string() +
                                "' && timeout 120 ./crash_host ./libVextra64.so second-thread 127.0.0.1:1 >host.out 2>&1";
    std::system(command.c_str());
    std::string bytes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir / "pxr64" / "dump", error)) {
      if (entry.path().extension() != ".dmp") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The module paths in the dump point into dir: it stays for the run.
    return bytes;
  }();
  return dump;
}

void WalkAllThreads(benchmark::State& state, bool with_files) {
  const std::string& dump = Dump();
  if (dump.empty()) {
    state.SkipWithError("the crash host left no dump");
    return;
  }
  size_t frames = 0, threads = 0, cfi = 0;
  for (auto _ : state) {
    FilesOnDisk files(with_files);
    const collector::WalkedDump walked = collector::WalkDump(dump, files);
    frames = threads = cfi = 0;
    for (const auto& thread : walked.threads) {
      ++threads;
      frames += thread.frames.size();
      for (const auto& frame : thread.frames) cfi += frame.trust == "cfi";
    }
    benchmark::DoNotOptimize(walked);
  }
  state.counters["threads"] = static_cast<double>(threads);
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["cfi_frames"] = static_cast<double>(cfi);
  state.counters["dump_KiB"] = static_cast<double>(dump.size()) / 1024;
}

void BM_WalkDumpWithModuleFiles(benchmark::State& state) { WalkAllThreads(state, true); }
void BM_WalkDumpWithoutModuleFiles(benchmark::State& state) { WalkAllThreads(state, false); }
BENCHMARK(BM_WalkDumpWithModuleFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkDumpWithoutModuleFiles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
