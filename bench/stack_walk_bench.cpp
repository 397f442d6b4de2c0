// The collector's stack walk of a real Linux crash dump: the crash host
// (tests/crash_host_linux) crashes with ten threads of its own beside the
// library's, and every thread is walked with the real files of its modules
// (read anew in each walk, as the collector does per report), and without
// them (frame pointers and the stack scan only). Then the whole analysis the
// collector runs per crash report: the walk with the files from its symbol
// store and every frame named from their debug information, once with the
// symboliser's children still to start (a crash whose modules were not
// loaded yet) and once with them running (goal: under 2 s).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "collector/analysis/stored_symbols_analyser.h"
#include "collector/symbols/symbol_store.h"
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

// The folder the crash host ran in; it holds the collector database of the analysis runs.
const fs::path& RunDir() {
  static const fs::path dir = [] {
    char pattern[] = "/tmp/vextra_walk_bench_XXXXXX";
    return mkdtemp(pattern) == nullptr ? fs::path() : fs::path(pattern);
  }();
  return dir;
}

const std::string& Dump() {
  static const std::string dump = [] {
    const fs::path dir = RunDir();
    if (dir.empty()) return std::string();
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

// The collector's symbol store with the crash host's and the library's files.
std::string StoreDatabase() {
  static const std::string db = [] {
    const fs::path dir = RunDir();
    const std::string path = (dir / "collector.db").string();
    std::ostringstream out, err;
    const int status = collector::RunSymbolsCommand(
        {"add", "--db", path, (dir / "crash_host").string(), (dir / "libVextra64.so").string(),
         std::string(VEXTRA_LIBRARY_PATH).substr(0, std::string(VEXTRA_LIBRARY_PATH).rfind('/')) +
             "/libVextra64.so.debug"},
        out, err);
    return status == 0 ? path : std::string();
  }();
  return db;
}

void AnalyseCrash(benchmark::State& state, bool modules_loaded) {
  const std::string& dump = Dump();
  const std::string& db = StoreDatabase();
  if (dump.empty() || db.empty()) {
    state.SkipWithError("no dump or no symbol store");
    return;
  }
  auto warm = std::make_unique<collector::StoredSymbolsAnalyser>(db);
  if (modules_loaded) warm->Analyse(dump);
  size_t frames = 0, named = 0;
  for (auto _ : state) {
    std::unique_ptr<collector::StoredSymbolsAnalyser> fresh;
    if (!modules_loaded) fresh = std::make_unique<collector::StoredSymbolsAnalyser>(db);
    const collector::DumpAnalysis analysis = (modules_loaded ? warm : fresh)->Analyse(dump);
    frames = named = 0;
    for (const auto& thread : analysis.threads) {
      for (const auto& frame : thread.frames) {
        ++frames;
        named += frame.function.empty() ? 0 : 1;
      }
    }
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["named_frames"] = static_cast<double>(named);
}

void BM_AnalyseCrashModulesToLoad(benchmark::State& state) { AnalyseCrash(state, false); }
void BM_AnalyseCrashModulesLoaded(benchmark::State& state) { AnalyseCrash(state, true); }
BENCHMARK(BM_AnalyseCrashModulesToLoad)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AnalyseCrashModulesLoaded)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
