#pragma once
// Unwinding with an ELF module's call frame information (.eh_frame): finds
// the entry covering a pc, runs its rules up to the pc and computes the
// caller's registers. Never trusts the tables: every length, offset and
// pointer is checked, expressions run a bounded number of steps, and what
// cannot be followed ends this method for the frame, not the walk.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stackwalk/module_image.h"
#include "stackwalk/unwind_step.h"

namespace collector {

class EhFrameUnwinder {
 public:
  // Indexes every entry of image's .eh_frame once; image must outlive this.
  explicit EhFrameUnwinder(std::shared_ptr<const ModuleImage> image);

  // regs holds the frame at a pc of the module loaded at base; on kCaller it
  // holds the caller's. caller_frame: pc is a return address (the call lies
  // just before it).
  StepOutcome Step(uint64_t base, bool caller_frame, const DumpMemory& memory, Registers* regs, std::string* why) const;

  size_t entry_count() const { return entries_.size(); }

 private:
  struct Cie {
    uint64_t code_align = 1;
    int64_t data_align = 1;
    uint64_t return_register = 16;
    uint8_t fde_encoding = 0;
    bool has_augmentation_data = false;
    bool signal_frame = false;
    std::string_view instructions;
  };
  struct Entry {
    uint64_t begin, end;  // the code it covers, module-relative
    uint32_t cie;         // index in cies_
    std::string_view instructions;
  };
  std::shared_ptr<const ModuleImage> image_;
  std::vector<Cie> cies_;
  std::vector<Entry> entries_;  // by begin
};

}  // namespace collector
