#include "crash/hook/trampoline.h"

#include <cstring>

#include "crash/hook/x64_length_decoder.h"

namespace Vextra::hook {
namespace {

constexpr size_t kAbsoluteCallSize = 16;  // FF 15 02000000, EB 08, then the target
constexpr size_t kAbsoluteJccSize = 16;   // inverted Jcc rel8 over an absolute jump

struct Copied {
  X64Instruction ins;
  size_t offset = 0;      // in the original
  size_t new_offset = 0;  // in the trampoline
  int64_t target = 0;     // branch target, as an offset from the function start
  bool internal = false;  // the branch lands inside the copied bytes
};

void Put32(uint8_t* out, int32_t value) { std::memcpy(out, &value, 4); }
void Put64(uint8_t* out, uint64_t value) { std::memcpy(out, &value, 8); }

size_t RelocatedSize(const Copied& c) {
  switch (c.ins.branch) {
    case BranchKind::kJmp: return c.internal ? 5 : kAbsoluteJumpSize;
    case BranchKind::kCall: return c.internal ? 5 : kAbsoluteCallSize;
    case BranchKind::kJcc: return c.internal ? 6 : kAbsoluteJccSize;
    case BranchKind::kNone: break;
  }
  return c.ins.length;
}

}  // namespace

bool FitsRel32(uint64_t next_ip, uint64_t target) {
  const int64_t delta = static_cast<int64_t>(target - next_ip);
  return delta >= INT32_MIN && delta <= INT32_MAX;
}

bool EncodeNearJump(uint64_t from, uint64_t to, uint8_t out[kNearJumpSize]) {
  if (!FitsRel32(from + kNearJumpSize, to)) return false;
  out[0] = 0xE9;
  Put32(out + 1, static_cast<int32_t>(to - (from + kNearJumpSize)));
  return true;
}

void EncodeAbsoluteJump(uint64_t to, uint8_t out[kAbsoluteJumpSize]) {
  const uint8_t head[6] = {0xFF, 0x25, 0, 0, 0, 0};
  std::memcpy(out, head, sizeof head);
  Put64(out + 6, to);
}

TrampolineError BuildTrampoline(const uint8_t* code, size_t available, uint64_t source,
                                uint64_t trampoline, size_t patch_size, TrampolineCode* out) {
  Copied items[kMaxCopiedInstructions];
  size_t count = 0;
  size_t pos = 0;
  // Furthest branch target at or after the current end inside the patch: code
  // up to there is reachable even past a jmp or ret.
  int64_t pending = -1;
  bool ended = false;
  while (pos < patch_size) {
    if (count == kMaxCopiedInstructions) return TrampolineError::kTooLong;
    Copied& c = items[count++];
    if (!DecodeX64Instruction(code + pos, available - pos, &c.ins)) {
      return TrampolineError::kUnknownInstruction;
    }
    c.offset = pos;
    pos += c.ins.length;
    if (c.ins.branch != BranchKind::kNone) {
      c.target = static_cast<int64_t>(pos) + c.ins.branch_disp;
      if (c.target >= static_cast<int64_t>(pos) && c.target < static_cast<int64_t>(patch_size) &&
          c.target > pending) {
        pending = c.target;
      }
    }
    if (c.ins.ends_flow && static_cast<int64_t>(pos) > pending) {
      ended = true;
      break;
    }
  }
  // A function that ends early can only be patched over its padding.
  for (size_t pad = pos; ended && pad < patch_size;) {
    X64Instruction filler;
    if (!DecodeX64Instruction(code + pad, available - pad, &filler) || !filler.is_padding) {
      return TrampolineError::kFunctionTooShort;
    }
    pad += filler.length;
  }

  const size_t copied = pos;
  size_t new_pos = 0;
  for (size_t i = 0; i < count; ++i) {
    Copied& c = items[i];
    c.new_offset = new_pos;
    c.internal = c.ins.branch != BranchKind::kNone && c.target >= 0 &&
                 c.target < static_cast<int64_t>(copied);
    new_pos += RelocatedSize(c);
  }
  const size_t total = new_pos + (ended ? 0 : kAbsoluteJumpSize);
  if (total > kTrampolineCapacity) return TrampolineError::kTooLong;

  TrampolineCode result;
  for (size_t i = 0; i < count; ++i) {
    const Copied& c = items[i];
    uint8_t* dst = result.code + c.new_offset;
    const uint64_t here = trampoline + c.new_offset;
    if (c.ins.branch == BranchKind::kNone) {
      std::memcpy(dst, code + c.offset, c.ins.length);
      if (c.ins.rip_relative) {
        int32_t disp;
        std::memcpy(&disp, code + c.offset + c.ins.disp_offset, 4);
        const uint64_t operand = source + c.offset + c.ins.length + static_cast<int64_t>(disp);
        if (!FitsRel32(here + c.ins.length, operand)) return TrampolineError::kOutOfRange;
        Put32(dst + c.ins.disp_offset, static_cast<int32_t>(operand - (here + c.ins.length)));
      }
    } else if (c.internal) {
      size_t j = 0;
      while (j < count && static_cast<int64_t>(items[j].offset) != c.target) ++j;
      if (j == count) return TrampolineError::kBranchIntoInstruction;
      const uint64_t to = trampoline + items[j].new_offset;
      const size_t size = RelocatedSize(c);
      if (c.ins.branch == BranchKind::kJcc) {
        dst[0] = 0x0F;
        dst[1] = static_cast<uint8_t>(0x80 | c.ins.condition);
      } else {
        dst[0] = c.ins.branch == BranchKind::kCall ? 0xE8 : 0xE9;
      }
      Put32(dst + size - 4, static_cast<int32_t>(to - (here + size)));
    } else {
      const uint64_t to = source + static_cast<uint64_t>(c.target);
      if (c.ins.branch == BranchKind::kJmp) {
        EncodeAbsoluteJump(to, dst);
      } else if (c.ins.branch == BranchKind::kCall) {
        // call [rip+2]; jmp over the address; the address.
        const uint8_t head[8] = {0xFF, 0x15, 0x02, 0, 0, 0, 0xEB, 0x08};
        std::memcpy(dst, head, sizeof head);
        Put64(dst + 8, to);
      } else {
        // The inverted condition skips the absolute jump taken for the original one.
        dst[0] = static_cast<uint8_t>(0x70 | (c.ins.condition ^ 1));
        dst[1] = kAbsoluteJumpSize;
        EncodeAbsoluteJump(to, dst + 2);
      }
    }
    result.old_offsets[i] = static_cast<uint8_t>(c.offset);
    result.new_offsets[i] = static_cast<uint8_t>(c.new_offset);
  }
  if (!ended) EncodeAbsoluteJump(source + copied, result.code + new_pos);
  result.size = total;
  result.copied = copied;
  result.ends_function = ended;
  result.boundaries = count;
  *out = result;
  return TrampolineError::kNone;
}

uint64_t MoveIpIntoTrampoline(uint64_t ip, uint64_t source, uint64_t trampoline,
                              const TrampolineCode& code) {
  for (size_t i = 0; i < code.boundaries; ++i) {
    if (ip == source + code.old_offsets[i]) return trampoline + code.new_offsets[i];
  }
  return ip;
}

uint64_t MoveIpOutOfTrampoline(uint64_t ip, uint64_t source, uint64_t trampoline,
                               const TrampolineCode& code) {
  for (size_t i = 0; i < code.boundaries; ++i) {
    if (ip == trampoline + code.new_offsets[i]) return source + code.old_offsets[i];
  }
  return ip;
}

}  // namespace Vextra::hook
