#pragma once
// What one unwinding method works on: the registers of a frame, the memory
// the dump stored, and the outcome of trying to find the caller's frame.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace collector {

// Integer registers in the processor's numbering (rax, rcx, rdx, rbx, rsp,
// rbp, rsi, rdi, r8 ... r15), and rip. Only the registers flagged in valid
// are known; a method that needs another fails rather than guessing.
struct Registers {
  static constexpr int kRsp = 4, kRbp = 5, kRip = 16;
  uint64_t value[17] = {};
  uint32_t valid = 0;  // bit i: value[i] is known

  bool Has(int reg) const { return reg >= 0 && reg < 17 && (valid >> reg & 1) != 0; }
  void Set(int reg, uint64_t v) {
    value[reg] = v;
    valid |= 1u << reg;
  }
  uint64_t pc() const { return value[kRip]; }
  uint64_t sp() const { return value[kRsp]; }
};

// The process memory a dump stored: the thread's stack and the memory list.
// Reads succeed only when one stored range holds every byte asked for.
// The views must outlive the DumpMemory.
class DumpMemory {
 public:
  void SetStack(uint64_t start, std::string_view bytes) { stack_ = {start, bytes}; }
  // Adds the memory list's ranges (sorted here; overlaps are harmless).
  void SetRanges(std::vector<std::pair<uint64_t, std::string_view>> ranges);
  bool Read(uint64_t address, void* out, size_t size) const;
  bool Read64(uint64_t address, uint64_t* value) const { return Read(address, value, 8); }
  bool InStack(uint64_t address) const {
    return address >= stack_.start && address - stack_.start <= stack_.bytes.size();
  }
  uint64_t stack_start() const { return stack_.start; }
  uint64_t stack_end() const { return stack_.start + stack_.bytes.size(); }
  bool has_stack() const { return !stack_.bytes.empty(); }

 private:
  struct Range {
    uint64_t start = 0;
    std::string_view bytes;
  };
  static bool ReadFrom(const Range& range, uint64_t address, void* out, size_t size);
  Range stack_;
  std::vector<Range> ranges_;  // by start
};

enum class StepOutcome {
  kCaller,   // the caller's registers are set
  kEnd,      // the tables say this is the outermost frame
  kNoInfo,   // the tables do not cover this address: try the next method
  kFailed,   // the tables cover it but could not be followed (why says so)
};

}  // namespace collector
