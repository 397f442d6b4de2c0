// The collector's symboliser: one lookup of 32 module offsets (a crash's
// stacks hold a few dozen frames) in the Windows build's Vextra64.dll.debug,
// through addr2line. Cold: a new symboliser (no child running for the file)
// and the file's pages dropped from the page cache before each lookup, the
// cost of a module's first crash; warm: the file's child is running and
// answers from the debug information it has parsed, the cost of each later
// crash in that module.
//   vextra_symbolizer_bench [debug-file] [benchmark flags]

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "collector/symbols/module_identity.h"
#include "collector/symbols/symbolizer.h"

namespace {

std::string g_debug_file = VEXTRA_WINDOWS_BUILD_DIR "/Vextra64.dll.debug";

// 32 addresses of the library's own functions (names with "Vextra" or "VX_"),
// spread over its text symbols, as offsets from the image base; a crash in the
// library walks through these, while the statically linked dependencies carry
// little or no line information.
std::vector<uint64_t> SpreadOffsets(const std::string& path) {
  collector::ModuleIdentity identity;
  std::string error;
  if (!collector::ReadModuleHeaders(path, &identity, &error)) return {};
  std::vector<uint64_t> addresses;
  FILE* nm = popen(("x86_64-w64-mingw32-nm --defined-only '" + path + "'").c_str(), "r");
  if (nm == nullptr) return {};
  char line[4096];
  while (std::fgets(line, sizeof(line), nm) != nullptr) {
    unsigned long long address = 0;
    char type = 0;
    const bool ours = std::strstr(line, "Vextra") != nullptr || std::strstr(line, " VX_") != nullptr;
    if (ours && std::sscanf(line, "%llx %c", &address, &type) == 2 && (type == 'T' || type == 't') &&
        address > identity.image_base) {
      addresses.push_back(address - identity.image_base);
    }
  }
  pclose(nm);
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < 32 && !addresses.empty(); ++i) offsets.push_back(addresses[i * addresses.size() / 32]);
  return offsets;
}

void DropFromPageCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

void Lookup(benchmark::State& state, bool cold) {
  const std::vector<uint64_t> offsets = SpreadOffsets(g_debug_file);
  if (offsets.size() != 32) {
    state.SkipWithError(("no text symbols in " + g_debug_file).c_str());
    return;
  }
  auto symbolizer = std::make_unique<collector::Symbolizer>();
  std::string error;
  if (!cold) symbolizer->Lookup(g_debug_file, offsets, &error);  // starts the file's child
  size_t named = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      symbolizer = std::make_unique<collector::Symbolizer>();
      DropFromPageCache(g_debug_file);
      state.ResumeTiming();
    }
    const std::vector<collector::SymbolizedLocation> found = symbolizer->Lookup(g_debug_file, offsets, &error);
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      return;
    }
    named = 0;
    for (const auto& location : found) named += location.line > 0 ? 1 : 0;
  }
  state.counters["offsets"] = static_cast<double>(offsets.size());
  state.counters["with_line"] = static_cast<double>(named);
}

void BM_Lookup32Cold(benchmark::State& state) { Lookup(state, true); }
void BM_Lookup32Warm(benchmark::State& state) { Lookup(state, false); }
BENCHMARK(BM_Lookup32Cold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_Lookup32Warm)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && argv[1][0] != '-') {
    g_debug_file = argv[1];
    --argc;
    ++argv;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
