#pragma once
// Length decoder for the x86-64 instructions found at the start of functions.
// It knows lengths, rip-relative memory operands and relative branches, which
// is what copying whole instructions into a trampoline needs; anything it does
// not know is refused rather than guessed.

#include <cstddef>
#include <cstdint>

namespace Vextra::hook {

enum class BranchKind : uint8_t {
  kNone,
  kJmp,   // EB rel8, E9 rel32
  kJcc,   // 70-7F rel8, 0F 80-8F rel32
  kCall,  // E8 rel32
};

struct X64Instruction {
  uint8_t length = 0;
  // Memory operand addressed as [rip + disp32]; the displacement's offset in
  // the instruction (it counts from the end of the instruction).
  bool rip_relative = false;
  uint8_t disp_offset = 0;
  // Relative branch: its displacement (sign-extended) and, for Jcc, the
  // condition code (low nibble of the opcode).
  BranchKind branch = BranchKind::kNone;
  int32_t branch_disp = 0;
  uint8_t condition = 0;
  // Control never reaches the next instruction: jmp (any form) and ret.
  bool ends_flow = false;
  // int3 or a nop form: bytes a compiler leaves between functions.
  bool is_padding = false;
};

// Decodes the instruction at `code`, reading at most `available` bytes.
// False for an opcode it does not know, a form it will not relocate (loop,
// jrcxz, far transfers, VEX/EVEX, 16-bit branches) or a truncated instruction.
bool DecodeX64Instruction(const uint8_t* code, size_t available, X64Instruction* out);

}  // namespace Vextra::hook
