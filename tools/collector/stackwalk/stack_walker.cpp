#include "stackwalk/stack_walker.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "stackwalk/eh_frame_unwind.h"
#include "stackwalk/module_image.h"
#include "stackwalk/pe_unwind.h"
#include "stackwalk/unwind_step.h"
#include "minidump/identity_text.h"

namespace collector {
namespace {

using Vextra::minidump::HexNumber;

using Vextra::minidump::DumpModule;
using Vextra::minidump::DumpThread;
using Vextra::minidump::MinidumpContents;

// A module's file with the unwinder its kind calls for.
struct ModuleUnwind {
  std::shared_ptr<const ModuleImage> image;
  std::unique_ptr<EhFrameUnwinder> cfi;
  std::unique_ptr<PeUnwinder> pe;
};

// Whether the code just before the module-relative address ends with a call
// (e8 rel32, or ff /2 in any of its addressing forms).
bool FollowsCall(const ModuleImage& image, uint64_t address) {
  uint8_t before[7] = {};
  size_t have = 0;
  for (size_t n = 7; n >= 2; --n) {
    if (address >= n && image.Read(address - n, before + 7 - n, n)) {
      have = n;
      break;
    }
  }
  if (have >= 5 && before[2] == 0xE8) return true;
  for (size_t k = 2; k <= have; ++k) {
    if (before[7 - k] != 0xFF) continue;
    const uint8_t modrm = before[7 - k + 1];
    if ((modrm >> 3 & 7) != 2) continue;
    const uint8_t mod = modrm >> 6, rm = modrm & 7;
    size_t length = 2;
    if (mod != 3 && rm == 4) {
      ++length;
      if (k < 3) continue;
      if (mod == 0 && (before[7 - k + 2] & 7) == 5) length += 4;
    }
    if (mod == 0 && rm == 5) length += 4;
    if (mod == 1) length += 1;
    if (mod == 2) length += 4;
    if (length == k) return true;
  }
  return false;
}

class Walker {
 public:
  Walker(const std::string& dump, const MinidumpContents& contents, ModuleFiles& files, const WalkLimits& limits)
      : contents_(contents), files_(files), limits_(limits) {
    for (size_t i = 0; i < contents.modules.size(); ++i) by_base_.push_back(static_cast<int>(i));
    std::sort(by_base_.begin(), by_base_.end(),
              [&](int a, int b) { return contents.modules[a].base < contents.modules[b].base; });
    for (const auto& range : contents.memory) {
      ranges_.push_back({range.start, std::string_view(dump).substr(range.rva, range.size)});
    }
    unwind_.resize(contents.modules.size());
  }

  ThreadStack Walk(const DumpThread& thread, bool faulting) {
    ThreadStack stack;
    stack.thread_id = thread.thread_id;
    stack.faulting = faulting;
    const Vextra::minidump::DumpRegisters* source = nullptr;
    if (faulting && contents_.exception.has_registers) {
      source = &contents_.exception.registers;
    } else if (thread.has_registers) {
      source = &thread.registers;
    }
    if (source == nullptr) {
      stack.error = "the thread's registers were not stored";
      return stack;
    }
    Registers regs;
    for (int i = 0; i < 16; ++i) regs.Set(i, source->gpr[i]);
    regs.Set(Registers::kRip, source->rip);
    DumpMemory memory;
    memory.SetStack(thread.stack_start, thread.stack);
    memory.SetRanges(ranges_);

    AddFrame(regs, "context", &stack);
    if (!memory.has_stack()) {
      stack.error = "the thread's stack was not stored";
      return stack;
    }
    if (!memory.InStack(regs.sp())) {
      stack.error = "the stack pointer " + HexNumber(regs.sp()) + " lies outside the thread's stored stack";
      return stack;
    }
    std::set<std::pair<uint64_t, uint64_t>> seen = {{regs.pc(), regs.sp()}};
    visited_rbp_.clear();
    for (;;) {
      if (stack.frames.size() >= static_cast<size_t>(std::max(limits_.max_frames, 1))) {
        stack.error = "stopped after " + std::to_string(stack.frames.size()) + " frames";
        break;
      }
      Registers next = regs;
      std::string trust, why;
      if (!Unwind(regs, stack.frames.size() > 1, memory, &next, &trust, &why)) {
        stack.error = why;
        break;
      }
      if (next.pc() == 0) break;  // the outermost frame
      if (next.sp() <= regs.sp()) {
        stack.error = "the stack pointer did not increase (" + HexNumber(regs.sp()) + " to " + HexNumber(next.sp()) + ")";
        break;
      }
      if (!memory.InStack(next.sp())) {
        stack.error = "the stack pointer " + HexNumber(next.sp()) + " lies outside the thread's stored stack";
        break;
      }
      if (!seen.insert({next.pc(), next.sp()}).second) {
        stack.error = "the stack loops (pc " + HexNumber(next.pc()) + ", sp " + HexNumber(next.sp()) + " seen before)";
        break;
      }
      regs = next;
      AddFrame(regs, trust, &stack);
    }
    return stack;
  }

 private:
  int ModuleAt(uint64_t address) const {
    auto it = std::upper_bound(by_base_.begin(), by_base_.end(), address,
                               [&](uint64_t a, int i) { return a < contents_.modules[i].base; });
    // Overlapping entries in a hostile dump: the nearest few bases are tried.
    for (int tries = 0; it != by_base_.begin() && tries < 4; ++tries) {
      --it;
      const DumpModule& module = contents_.modules[*it];
      if (address - module.base < module.size) return *it;
    }
    return -1;
  }

  void AddFrame(const Registers& regs, const std::string& trust, ThreadStack* stack) const {
    StackFrame frame;
    frame.pc = regs.pc();
    frame.sp = regs.sp();
    frame.trust = trust;
    frame.module_index = ModuleAt(regs.pc());
    if (frame.module_index >= 0) frame.module_offset = regs.pc() - contents_.modules[frame.module_index].base;
    stack->frames.push_back(std::move(frame));
  }

  // The module's file and unwinder, asked for and read once.
  const ModuleUnwind* Unwinder(int module_index) {
    auto& slot = unwind_[module_index];
    if (slot.first) return slot.second.get();
    slot.first = true;
    const std::string path = files_.PathFor(contents_.modules[module_index]);
    if (path.empty()) return nullptr;
    auto cached = by_path_.find(path);
    if (cached == by_path_.end()) {
      auto unwind = std::make_shared<ModuleUnwind>();
      unwind->image = ModuleImage::Load(path);
      if (unwind->image != nullptr && unwind->image->kind() == ModuleImage::Kind::kElf) {
        unwind->cfi = std::make_unique<EhFrameUnwinder>(unwind->image);
      } else if (unwind->image != nullptr && unwind->image->kind() == ModuleImage::Kind::kPe) {
        unwind->pe = std::make_unique<PeUnwinder>(unwind->image);
      } else {
        unwind = nullptr;
      }
      cached = by_path_.emplace(path, std::move(unwind)).first;
    }
    slot.second = cached->second;
    return slot.second.get();
  }

  // Finds the caller of the frame in regs; false ends the walk (why says
  // why, empty when the stack simply ends there).
  bool Unwind(const Registers& regs, bool caller_frame, const DumpMemory& memory, Registers* next, std::string* trust,
              std::string* why) {
    std::string table_problem;
    const int module_index = ModuleAt(regs.pc());
    if (const ModuleUnwind* unwind = module_index >= 0 ? Unwinder(module_index) : nullptr) {
      const uint64_t base = contents_.modules[module_index].base;
      Registers caller = regs;
      const StepOutcome outcome = unwind->cfi != nullptr
                                      ? unwind->cfi->Step(base, caller_frame, memory, &caller, &table_problem)
                                      : unwind->pe->Step(base, caller_frame, memory, &caller, &table_problem);
      if (outcome == StepOutcome::kEnd) return false;
      if (outcome == StepOutcome::kCaller) {
        *next = caller;
        *trust = "cfi";
        return true;
      }
    }
    switch (FramePointer(regs, memory, next)) {
      case Chain::kFrame:
        *trust = "frame pointer";
        return true;
      case Chain::kLoop:
        *why = "the frame-pointer chain loops back to " + HexNumber(regs.value[Registers::kRbp]);
        return false;
      case Chain::kNone: break;
    }
    if (Scan(regs, memory, next)) {
      *trust = "scan";
      return true;
    }
    *why = table_problem;
    return false;
  }

  // The caller saved its rbp at [rbp] and the return address above it. A
  // saved rbp that is one this walk already followed is a loop, not a frame.
  enum class Chain { kFrame, kNone, kLoop };
  Chain FramePointer(const Registers& regs, const DumpMemory& memory, Registers* next) {
    if (!regs.Has(Registers::kRbp)) return Chain::kNone;
    const uint64_t rbp = regs.value[Registers::kRbp];
    if (rbp < regs.sp() || rbp % 8 != 0 || !memory.InStack(rbp) || rbp + 16 < rbp || !memory.InStack(rbp + 16)) {
      return Chain::kNone;
    }
    uint64_t saved_rbp = 0, return_address = 0;
    if (!memory.Read64(rbp, &saved_rbp) || !memory.Read64(rbp + 8, &return_address)) return Chain::kNone;
    if (saved_rbp == rbp || visited_rbp_.count(saved_rbp) != 0) return Chain::kLoop;
    if (saved_rbp != 0 && saved_rbp <= rbp) return Chain::kNone;
    if (ModuleAt(return_address) < 0) return Chain::kNone;
    visited_rbp_.insert(rbp);
    *next = regs;
    next->Set(Registers::kRbp, saved_rbp);
    next->Set(Registers::kRsp, rbp + 16);
    next->Set(Registers::kRip, return_address);
    return Chain::kFrame;
  }

  // The first word upward from sp that looks like a return address.
  bool Scan(const Registers& regs, const DumpMemory& memory, Registers* next) {
    for (int i = 0; i < limits_.max_scan_words; ++i) {
      const uint64_t at = regs.sp() + uint64_t(i) * 8;
      if (at < regs.sp() || !memory.InStack(at + 8)) return false;
      uint64_t value = 0;
      if (!memory.Read64(at, &value) || !LooksLikeReturnAddress(value)) continue;
      *next = regs;
      next->Set(Registers::kRip, value);
      next->Set(Registers::kRsp, at + 8);
      return true;
    }
    return false;
  }

  bool LooksLikeReturnAddress(uint64_t value) {
    const int module_index = ModuleAt(value);
    if (module_index < 0) return false;
    const ModuleUnwind* unwind = Unwinder(module_index);
    if (unwind == nullptr) return true;  // no file: inside the module is all that can be said
    const uint64_t address = value - contents_.modules[module_index].base;
    return unwind->image->IsCode(address) && FollowsCall(*unwind->image, address);
  }

  const MinidumpContents& contents_;
  ModuleFiles& files_;
  const WalkLimits limits_;
  std::vector<int> by_base_;
  std::vector<std::pair<uint64_t, std::string_view>> ranges_;
  std::vector<std::pair<bool, std::shared_ptr<ModuleUnwind>>> unwind_;  // by module index
  std::map<std::string, std::shared_ptr<ModuleUnwind>> by_path_;
  std::set<uint64_t> visited_rbp_;  // frames the current thread's chain went through
};

}  // namespace

void DumpMemory::SetRanges(std::vector<std::pair<uint64_t, std::string_view>> ranges) {
  ranges_.clear();
  for (auto& [start, bytes] : ranges) ranges_.push_back({start, bytes});
  std::sort(ranges_.begin(), ranges_.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
}

bool DumpMemory::ReadFrom(const Range& range, uint64_t address, void* out, size_t size) {
  if (address < range.start || address - range.start > range.bytes.size() ||
      size > range.bytes.size() - (address - range.start)) {
    return false;
  }
  std::memcpy(out, range.bytes.data() + (address - range.start), size);
  return true;
}

bool DumpMemory::Read(uint64_t address, void* out, size_t size) const {
  if (size == 0) return true;
  if (ReadFrom(stack_, address, out, size)) return true;
  // The last range starting at or below the address; overlapping ranges
  // before it are tried too, nearest first.
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), address,
                             [](uint64_t a, const Range& r) { return a < r.start; });
  for (int tries = 0; it != ranges_.begin() && tries < 4; ++tries) {
    --it;
    if (ReadFrom(*it, address, out, size)) return true;
  }
  return false;
}

WalkedDump WalkDump(const std::string& dump_bytes, ModuleFiles& files, const WalkLimits& limits) {
  WalkedDump walked;
  walked.contents = Vextra::minidump::ReadMinidump(dump_bytes);
  const MinidumpContents& contents = walked.contents;
  Walker walker(dump_bytes, contents, files, limits);
  std::vector<const DumpThread*> order;
  const DumpThread* faulting = nullptr;
  for (const DumpThread& thread : contents.threads) {
    if (faulting == nullptr && contents.exception.present && thread.thread_id == contents.exception.thread_id) {
      faulting = &thread;
      order.insert(order.begin(), &thread);
    } else {
      order.push_back(&thread);
    }
  }
  for (const DumpThread* thread : order) {
    walked.threads.push_back(walker.Walk(*thread, thread == faulting));
    walked.threads.back().thread_index = static_cast<int>(thread - contents.threads.data());
  }
  return walked;
}

}  // namespace collector
