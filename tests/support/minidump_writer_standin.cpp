// Linked into the test programs and the test build of the Linux library only
// while the tree holds no minidump writer: it walks the snapshot the way a
// writer reads it (every thread's stack top, every module, every extra
// stream), writes nothing and answers 0, which the capture treats as a
// failed dump. The crash flow around the dump runs unchanged.

#include "minidump/minidump_file_writer.h"

namespace Vextra::minidump {

uint64_t WriteMinidump(const ProcessSnapshot& snapshot, DumpOutput&, const DumpLimits&) {
  unsigned char buffer[256];
  for (uint32_t i = 0; i < snapshot.ThreadCount(); ++i) {
    const ThreadFacts& thread = snapshot.Thread(i);
    if (thread.registers_known) snapshot.ReadMemory(thread.registers.rsp, buffer, sizeof buffer);
  }
  for (uint32_t i = 0; i < snapshot.ModuleCount(); ++i) snapshot.ReadMemory(snapshot.Module(i).base, buffer, 4);
  for (uint32_t i = 0; i < snapshot.ExtraStreamCount(); ++i) {
    uint64_t offset = 0;
    while (size_t got = snapshot.ReadExtraStream(i, offset, buffer, sizeof buffer)) offset += got;
  }
  return 0;
}

}  // namespace Vextra::minidump
