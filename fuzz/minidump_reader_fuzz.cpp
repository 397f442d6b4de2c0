// Minidump files from anywhere (a crash upload, a disk): the reader takes any
// bytes, reads only inside them, and what it calls sound holds together.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "minidump/minidump_reader.h"

VEXTRA_FUZZ_TARGET(minidump_reader) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const Vextra::minidump::MinidumpContents dump = Vextra::minidump::ReadMinidump(file);

  // Everything handed back was inside the file.
  for (const auto& range : dump.memory) {
    FUZZ_CHECK(range.rva <= size && range.size <= size - range.rva);
    FUZZ_CHECK(dump.MemoryAt(file, range.start, range.size).size() == range.size);
  }
  for (const auto& thread : dump.threads) FUZZ_CHECK(thread.stack.size() == thread.stack_size && thread.stack_size <= size);
  size_t stream_bytes = 0;
  for (const auto& [type, bytes] : dump.other_streams) stream_bytes = std::max(stream_bytes, bytes.size());
  FUZZ_CHECK(stream_bytes <= size);
  // Each UTF-16 code unit of a name gives at most three UTF-8 bytes.
  for (const auto& module : dump.modules) FUZZ_CHECK(module.name.size() <= size / 2 * 3);
  FUZZ_CHECK(dump.exception.parameters.size() <= 15);

  // A dump called sound has its header and no overlapping memory.
  if (dump.Valid()) {
    FUZZ_CHECK(size >= 32 && file.compare(0, 4, "MDMP") == 0);
    FUZZ_CHECK(dump.system.present);
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const auto& range : dump.memory) ranges.push_back({range.start, range.size});
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) FUZZ_CHECK(ranges[i].first >= ranges[i - 1].first + ranges[i - 1].second);
  }
  return 0;
}
