#pragma once
// The library's own minidump writer: one file in the minidump format from a
// ProcessSnapshot. Linux snapshots give the Linux flavour (its platform id
// and /proc streams), Windows snapshots the Windows flavour; both hold the
// system information, every thread with its registers and stack, the module
// list with debug identifiers, the exception and a memory list (the stacks
// and the memory around the fault).

#include <cstddef>
#include <cstdint>

#include "minidump/process_snapshot.h"

namespace Vextra::minidump {

// Where the dump's bytes go: a file on the crash path, memory in tests.
class DumpOutput {
 public:
  virtual ~DumpOutput() = default;
  // Writes size bytes at offset from the start of the file; false on failure.
  // crash path: allocation-free, no lock another thread may hold.
  virtual bool WriteAt(uint64_t offset, const void* data, size_t size) = 0;
};

// Bounds that keep a dump small and its writing quick.
struct DumpLimits {
  uint32_t max_stack_bytes = 64 * 1024;          // per thread, from below the stack pointer up
  uint32_t faulting_stack_bytes = 256 * 1024;    // the faulting thread's
  uint32_t bytes_around_fault = 1024;            // each side of the fault and instruction addresses
};

// Writes the minidump of snapshot to out; returns the file's size in bytes,
// 0 when a write failed. Uses only the stack and the snapshot's storage.
// crash path: allocates nothing, takes no lock another thread may hold.
uint64_t WriteMinidump(const ProcessSnapshot& snapshot, DumpOutput& out, const DumpLimits& limits = DumpLimits());

}  // namespace Vextra::minidump
