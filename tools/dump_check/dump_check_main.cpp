// vextra-dump-check <file.dmp>: prints what a minidump holds (platform,
// threads, the faulting thread and its code, modules with their debug ids)
// and exits with 1 and the list of problems when the dump does not hold
// together, 2 when the file cannot be read.

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "minidump/minidump_reader.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vextra-dump-check <file.dmp>\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vextra-dump-check: cannot open %s\n", argv[1]);
    return 2;
  }
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const Vextra::minidump::MinidumpContents dump = Vextra::minidump::ReadMinidump(file);

  std::printf("file: %s (%zu bytes, %u streams)\n", argv[1], file.size(), dump.stream_count);
  if (dump.system.present) {
    std::printf("platform: %s %u.%u.%u (%s), %u CPUs, architecture %u\n",
                Vextra::minidump::PlatformName(dump.system.platform_id).c_str(), dump.system.major_version,
                dump.system.minor_version, dump.system.build_number, dump.system.version_text.c_str(),
                dump.system.cpu_count, dump.system.processor_architecture);
  }
  std::printf("threads: %zu\n", dump.threads.size());
  for (const auto& thread : dump.threads) {
    if (thread.has_registers) {
      std::printf("  thread %u: rip 0x%016" PRIx64 " rsp 0x%016" PRIx64 ", stack %u bytes\n", thread.thread_id,
                  thread.rip, thread.rsp, thread.stack_size);
    } else {
      std::printf("  thread %u: no registers\n", thread.thread_id);
    }
  }
  if (dump.exception.present) {
    std::printf("faulting thread: %u, code 0x%x, flags 0x%x, address 0x%016" PRIx64 ", rip 0x%016" PRIx64 "\n",
                dump.exception.thread_id, dump.exception.code, dump.exception.flags, dump.exception.address,
                dump.exception.rip);
  } else {
    std::printf("faulting thread: none (no exception stream)\n");
  }
  std::printf("modules: %zu\n", dump.modules.size());
  for (const auto& module : dump.modules) {
    std::printf("  0x%016" PRIx64 " %8u %s %s\n", module.base, module.size,
                module.debug_id.empty() ? "-" : module.debug_id.c_str(), module.name.c_str());
  }
  uint64_t stored = 0;
  for (const auto& range : dump.memory) stored += range.size;
  std::printf("memory: %zu ranges, %" PRIu64 " bytes\n", dump.memory.size(), stored);
  for (const auto& [type, bytes] : dump.other_streams) std::printf("stream 0x%08x: %zu bytes\n", type, bytes.size());

  if (dump.Valid()) {
    std::printf("valid\n");
    return 0;
  }
  std::fprintf(stderr, "%zu problems:\n", dump.problems.size());
  for (const auto& problem : dump.problems) std::fprintf(stderr, "  %s\n", problem.c_str());
  return 1;
}
