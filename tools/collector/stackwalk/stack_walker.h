#pragma once
// Unwinds every thread of a minidump: the faulting thread first, each from
// the registers the dump stored, with the modules' own unwind tables (PE
// .pdata/.xdata, ELF .eh_frame) where the module's file is at hand, then the
// frame-pointer chain, then a scan of the stack for return addresses.
// Bounded in frames and scanned words; reads memory only from what the dump
// stored and never trusts the dump or the module files. Used by the
// collector's background analysis; allocates freely, never on a crash path.

#include <cstdint>
#include <string>
#include <vector>

#include "minidump/minidump_reader.h"

namespace collector {

// Gives the walker a module's file (the image, or the debug file when only it
// is stored; both carry the unwind tables) by the dump's module entry.
class ModuleFiles {
 public:
  virtual ~ModuleFiles() = default;
  // Empty when the store has nothing for this module.
  virtual std::string PathFor(const Vextra::minidump::DumpModule& module) = 0;
};

struct StackFrame {
  uint64_t pc = 0;      // instruction pointer: the fault for frame 0, the return address after
  uint64_t sp = 0;
  std::string trust;    // "context", "cfi", "frame pointer" or "scan"
  int module_index = -1;      // in MinidumpContents::modules, -1 outside every module
  uint64_t module_offset = 0; // pc - module base
};

struct ThreadStack {
  uint32_t thread_id = 0;
  int thread_index = -1;  // in MinidumpContents::threads (ids may repeat in a damaged dump)
  bool faulting = false;
  std::vector<StackFrame> frames;
  std::string error;    // why the walk stopped early, empty when it ended cleanly
};

struct WalkedDump {
  Vextra::minidump::MinidumpContents contents;  // as read; problems lists what could not be read
  std::vector<ThreadStack> threads;              // faulting thread first
};

struct WalkLimits {
  int max_frames = 256;
  int max_scan_words = 1024;
};

// Each module's file is asked for once and read once per path per walk.
WalkedDump WalkDump(const std::string& dump_bytes, ModuleFiles& files, const WalkLimits& limits = {});

}  // namespace collector
