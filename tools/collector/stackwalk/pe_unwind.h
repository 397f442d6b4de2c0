#pragma once
// Unwinding with a PE x64 module's exception directory: the function entry
// covering a pc (.pdata), its unwind codes (.xdata) undone in reverse, chained
// entries followed a bounded number of times. A pc in no entry is a leaf
// function: its return address is at the stack pointer.

#include <cstdint>
#include <memory>
#include <string>

#include "stackwalk/module_image.h"
#include "stackwalk/unwind_step.h"

namespace collector {

class PeUnwinder {
 public:
  explicit PeUnwinder(std::shared_ptr<const ModuleImage> image) : image_(std::move(image)) {}

  // regs holds the frame at a pc of the module loaded at base; on kCaller it
  // holds the caller's. caller_frame: pc is a return address.
  StepOutcome Step(uint64_t base, bool caller_frame, const DumpMemory& memory, Registers* regs, std::string* why) const;

 private:
  struct Function {
    uint32_t begin, end, unwind;
  };
  bool Find(uint64_t rva, Function* function) const;
  bool Epilogue(uint64_t rva, const DumpMemory& memory, Registers* regs) const;

  std::shared_ptr<const ModuleImage> image_;
};

}  // namespace collector
