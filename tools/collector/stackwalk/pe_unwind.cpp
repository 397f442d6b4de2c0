#include "stackwalk/pe_unwind.h"

#include <algorithm>
#include <cstring>

namespace collector {
namespace {

constexpr int kMaxChain = 32;  // chained entries followed per frame

enum UnwindOp : uint8_t {
  kPushNonvol = 0,
  kAllocLarge = 1,
  kAllocSmall = 2,
  kSetFpreg = 3,
  kSaveNonvol = 4,
  kSaveNonvolFar = 5,
  kEpilogOrSaveXmm = 6,
  kSpareOrSaveXmmFar = 7,
  kSaveXmm128 = 8,
  kSaveXmm128Far = 9,
  kPushMachframe = 10,
};

constexpr uint8_t kFlagChainInfo = 4;

}  // namespace

bool PeUnwinder::Find(uint64_t rva, Function* function) const {
  const uint64_t count = image_->pdata_size() / 12;
  uint64_t low = 0, high = count;
  while (low < high) {
    const uint64_t middle = low + (high - low) / 2;
    uint32_t entry[3];
    if (!image_->Read(image_->pdata_address() + middle * 12, entry, sizeof entry)) return false;
    if (rva < entry[0]) {
      high = middle;
    } else if (rva >= entry[1]) {
      low = middle + 1;
    } else {
      *function = {entry[0], entry[1], entry[2]};
      return true;
    }
  }
  return false;
}

// A pc at an epilogue (an optional "add rsp, n" or "lea rsp, [frame + n]",
// pops, then ret) has already undone part of the prologue: the rest of the
// epilogue is carried out instead of the unwind codes.
bool PeUnwinder::Epilogue(uint64_t rva, const DumpMemory& memory, Registers* regs) const {
  uint8_t code[64] = {};
  const std::string_view bytes = image_->BytesFrom(rva);
  const size_t size = std::min(bytes.size(), sizeof code);
  std::memcpy(code, bytes.data(), size);
  Registers out = *regs;
  size_t at = 0;
  // add rsp, imm8 / imm32
  if (size >= 4 && code[0] == 0x48 && code[1] == 0x83 && code[2] == 0xC4) {
    out.Set(Registers::kRsp, out.sp() + static_cast<uint64_t>(int64_t{static_cast<int8_t>(code[3])}));
    at = 4;
  } else if (size >= 7 && code[0] == 0x48 && code[1] == 0x81 && code[2] == 0xC4) {
    int32_t value;
    std::memcpy(&value, code + 3, 4);
    out.Set(Registers::kRsp, out.sp() + static_cast<uint64_t>(int64_t{value}));
    at = 7;
  } else if (size >= 4 && (code[0] & 0xFE) == 0x48 && code[1] == 0x8D && (code[2] & 0x38) == 0x20 &&
             (code[2] >> 6 == 1 || code[2] >> 6 == 2) && (code[2] & 7) != 4) {
    // lea rsp, [reg + disp8/disp32]
    const int reg = (code[2] & 7) | ((code[0] & 1) << 3);
    const uint8_t mod = code[2] >> 6;
    if (!regs->Has(reg)) return false;
    int64_t disp = 0;
    if (mod == 1) {
      disp = static_cast<int8_t>(code[3]);
      at = 4;
    } else {
      if (size < 7) return false;
      int32_t value;
      std::memcpy(&value, code + 3, 4);
      disp = value;
      at = 7;
    }
    out.Set(Registers::kRsp, regs->value[reg] + static_cast<uint64_t>(disp));
  }
  while (at < size) {
    if (code[at] >= 0x58 && code[at] <= 0x5F) {
      uint64_t value;
      if (!memory.Read64(out.sp(), &value)) return false;
      out.Set(code[at] - 0x58, value);
      out.Set(Registers::kRsp, out.sp() + 8);
      at += 1;
    } else if (code[at] == 0x41 && at + 1 < size && code[at + 1] >= 0x58 && code[at + 1] <= 0x5F) {
      uint64_t value;
      if (!memory.Read64(out.sp(), &value)) return false;
      out.Set(8 + code[at + 1] - 0x58, value);
      out.Set(Registers::kRsp, out.sp() + 8);
      at += 2;
    } else {
      break;
    }
  }
  const bool ret = at < size && (code[at] == 0xC3 || (code[at] == 0xF3 && at + 1 < size && code[at + 1] == 0xC3));
  if (!ret) return false;
  uint64_t return_address;
  if (!memory.Read64(out.sp(), &return_address)) return false;
  out.Set(Registers::kRip, return_address);
  out.Set(Registers::kRsp, out.sp() + 8);
  *regs = out;
  return true;
}

StepOutcome PeUnwinder::Step(uint64_t base, bool caller_frame, const DumpMemory& memory, Registers* regs,
                             std::string* why) const {
  if (image_->pdata_size() == 0) return StepOutcome::kNoInfo;
  const uint64_t rva = regs->pc() - base;
  Function function;
  if (!Find(caller_frame ? rva - 1 : rva, &function)) {
    if (!image_->IsCode(rva)) return StepOutcome::kNoInfo;
    // A leaf function: nothing pushed, the return address at the stack pointer.
    uint64_t return_address;
    if (!memory.Read64(regs->sp(), &return_address)) {
      *why = "the return address of a leaf function lies in memory the dump did not store";
      return StepOutcome::kFailed;
    }
    regs->Set(Registers::kRip, return_address);
    regs->Set(Registers::kRsp, regs->sp() + 8);
    return StepOutcome::kCaller;
  }
  if (!caller_frame && Epilogue(rva, memory, regs)) return StepOutcome::kCaller;

  Registers out = *regs;
  const uint64_t start_sp = regs->sp();
  uint64_t offset_in_function = rva - function.begin;
  bool machine_frame = false;
  for (int chain = 0;; ++chain) {
    if (chain == kMaxChain) {
      *why = "unwind information chained more than " + std::to_string(kMaxChain) + " times";
      return StepOutcome::kFailed;
    }
    uint8_t header[4];
    if (!image_->Read(function.unwind, header, sizeof header)) {
      *why = "unwind information at " + std::to_string(function.unwind) + " lies outside the module file";
      return StepOutcome::kFailed;
    }
    const uint8_t version = header[0] & 7, flags = header[0] >> 3;
    const uint8_t prolog_size = header[1], code_count = header[2];
    const int frame_reg = header[3] & 0x0F;
    const uint64_t frame_offset = static_cast<uint64_t>(header[3] >> 4) * 16;
    if (version != 1 && version != 2) {
      *why = "unwind information of unknown version " + std::to_string(version);
      return StepOutcome::kFailed;
    }
    uint16_t codes[256];
    if (!image_->Read(function.unwind + 4, codes, code_count * 2u)) {
      *why = "unwind codes lie outside the module file";
      return StepOutcome::kFailed;
    }
    // Saved registers are addressed from the frame as it stands after the
    // prologue: the frame register (minus its offset) once it is set, else rsp.
    uint64_t frame = start_sp;
    if (frame_reg != 0) {
      bool set = offset_in_function >= prolog_size;
      for (int i = 0; i < code_count && !set; ++i) {
        if ((codes[i] >> 8 & 0x0F) == kSetFpreg && (codes[i] & 0xFF) <= offset_in_function) set = true;
      }
      if (set) {
        if (!out.Has(frame_reg)) {
          *why = "the frame register of the unwind information is not known";
          return StepOutcome::kFailed;
        }
        frame = out.value[frame_reg] - frame_offset;
      }
    }
    for (int i = 0; i < code_count;) {
      const uint8_t code_offset = codes[i] & 0xFF;
      const uint8_t op = codes[i] >> 8 & 0x0F, info = codes[i] >> 12;
      int slots = 1;
      switch (op) {
        case kPushNonvol: case kAllocSmall: case kSetFpreg: case kPushMachframe: slots = 1; break;
        case kAllocLarge: slots = info == 0 ? 2 : 3; break;
        case kSaveNonvol: case kSaveXmm128: slots = 2; break;
        case kSaveNonvolFar: case kSaveXmm128Far: slots = 3; break;
        case kEpilogOrSaveXmm: slots = 2; break;
        case kSpareOrSaveXmmFar: slots = version == 1 ? 3 : 1; break;
        default:
          *why = "unknown unwind code " + std::to_string(op);
          return StepOutcome::kFailed;
      }
      if (i + slots > code_count) {
        *why = "an unwind code runs past the end of its list";
        return StepOutcome::kFailed;
      }
      // Codes of the prologue not yet carried out at this pc are skipped.
      if (chain == 0 && code_offset > offset_in_function && op != kEpilogOrSaveXmm) {
        i += slots;
        continue;
      }
      uint64_t value = 0;
      switch (op) {
        case kPushNonvol:
          if (!memory.Read64(out.sp(), &value)) {
            *why = "a pushed register lies in memory the dump did not store";
            return StepOutcome::kFailed;
          }
          out.Set(info, value);
          out.Set(Registers::kRsp, out.sp() + 8);
          break;
        case kAllocLarge:
          value = info == 0 ? uint64_t{codes[i + 1]} * 8 : (uint64_t{codes[i + 1]} | uint64_t{codes[i + 2]} << 16);
          out.Set(Registers::kRsp, out.sp() + value);
          break;
        case kAllocSmall: out.Set(Registers::kRsp, out.sp() + uint64_t{info} * 8 + 8); break;
        case kSetFpreg:
          if (!out.Has(frame_reg)) {
            *why = "the frame register of the unwind information is not known";
            return StepOutcome::kFailed;
          }
          out.Set(Registers::kRsp, out.value[frame_reg] - frame_offset);
          break;
        case kSaveNonvol: case kSaveNonvolFar: {
          const uint64_t at = op == kSaveNonvol ? uint64_t{codes[i + 1]} * 8
                                                : (uint64_t{codes[i + 1]} | uint64_t{codes[i + 2]} << 16);
          if (!memory.Read64(frame + at, &value)) {
            *why = "a saved register lies in memory the dump did not store";
            return StepOutcome::kFailed;
          }
          out.Set(info, value);
          break;
        }
        case kPushMachframe: {
          // The processor pushed ss, rsp, eflags, cs and rip (after an error code when info is 1).
          const uint64_t at = out.sp() + (info == 1 ? 8 : 0);
          uint64_t rip = 0, rsp = 0;
          if (!memory.Read64(at, &rip) || !memory.Read64(at + 24, &rsp)) {
            *why = "a machine frame lies in memory the dump did not store";
            return StepOutcome::kFailed;
          }
          out.Set(Registers::kRip, rip);
          out.Set(Registers::kRsp, rsp);
          machine_frame = true;
          break;
        }
        default: break;  // xmm registers are not tracked; epilogue descriptions change nothing here
      }
      i += slots;
    }
    if ((flags & kFlagChainInfo) == 0) break;
    // The chained entry follows the codes, aligned to an even count.
    uint32_t chained[3];
    if (!image_->Read(function.unwind + 4 + ((code_count + 1u) & ~1u) * 2u, chained, sizeof chained)) {
      *why = "chained unwind information lies outside the module file";
      return StepOutcome::kFailed;
    }
    function = {chained[0], chained[1], chained[2]};
    offset_in_function = UINT64_MAX;  // every code of a chained entry applies
  }
  if (!machine_frame) {
    uint64_t return_address;
    if (!memory.Read64(out.sp(), &return_address)) {
      *why = "the return address lies in memory the dump did not store";
      return StepOutcome::kFailed;
    }
    out.Set(Registers::kRip, return_address);
    out.Set(Registers::kRsp, out.sp() + 8);
  }
  *regs = out;
  return StepOutcome::kCaller;
}

}  // namespace collector
