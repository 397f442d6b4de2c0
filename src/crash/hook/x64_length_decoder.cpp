#include "crash/hook/x64_length_decoder.h"

#include <cstring>

namespace Vextra::hook {
namespace {

constexpr size_t kMaxInstructionLength = 15;

// Immediate operand sizes; kImmZ is 4 bytes (2 with an operand-size prefix
// and no REX.W), kImmV is 8 bytes with REX.W and otherwise like kImmZ.
enum Imm : uint8_t { kImm0 = 0, kImm8 = 1, kImm16 = 2, kImm24 = 3, kImmZ = 0xF0, kImmV, kImmMoffs };

struct Form {
  bool valid = false;
  bool modrm = false;
  uint8_t imm = kImm0;
};

constexpr Form Invalid() { return Form{}; }
constexpr Form Plain(uint8_t imm = kImm0) { return Form{true, false, imm}; }
constexpr Form WithModRm(uint8_t imm = kImm0) { return Form{true, true, imm}; }

// Operand forms of the one-byte opcodes that are not prefixes, escapes or
// branches (those are handled where the opcode is read).
Form OneByteForm(uint8_t op) {
  if (op < 0x40) {
    switch (op & 7) {
      case 0: case 1: case 2: case 3: return WithModRm();
      case 4: return Plain(kImm8);
      case 5: return Plain(kImmZ);
      default: return Invalid();  // push/pop of segment registers, BCD opcodes
    }
  }
  if (op >= 0x50 && op <= 0x5F) return Plain();  // push/pop r64
  if (op >= 0x84 && op <= 0x8F) return WithModRm();  // test, xchg, mov, lea, pop r/m
  if ((op >= 0x90 && op <= 0x99) || (op >= 0x9B && op <= 0x9F)) return Plain();
  if (op >= 0xA0 && op <= 0xA3) return Plain(kImmMoffs);
  if ((op >= 0xA4 && op <= 0xA7) || (op >= 0xAA && op <= 0xAF)) return Plain();  // string ops
  if (op >= 0xB0 && op <= 0xB7) return Plain(kImm8);
  if (op >= 0xB8 && op <= 0xBF) return Plain(kImmV);
  if (op >= 0xD8 && op <= 0xDF) return WithModRm();  // x87
  switch (op) {
    case 0x63: return WithModRm();  // movsxd
    case 0x68: return Plain(kImmZ);
    case 0x69: return WithModRm(kImmZ);
    case 0x6A: return Plain(kImm8);
    case 0x6B: return WithModRm(kImm8);
    case 0x80: case 0x83: return WithModRm(kImm8);
    case 0x81: return WithModRm(kImmZ);
    case 0xA8: return Plain(kImm8);
    case 0xA9: return Plain(kImmZ);
    case 0xC0: case 0xC1: return WithModRm(kImm8);
    case 0xC6: return WithModRm(kImm8);
    case 0xC7: return WithModRm(kImmZ);
    case 0xC8: return Plain(kImm24);  // enter imm16, imm8
    case 0xC9: case 0xCC: case 0xF1: case 0xF4: case 0xF5: return Plain();
    case 0xCD: return Plain(kImm8);
    case 0xD0: case 0xD1: case 0xD2: case 0xD3: return WithModRm();
    case 0xD7: return Plain();
    case 0xE4: case 0xE5: case 0xE6: case 0xE7: return Plain(kImm8);
    case 0xEC: case 0xED: case 0xEE: case 0xEF: return Plain();
    case 0xF8: case 0xF9: case 0xFA: case 0xFB: case 0xFC: case 0xFD: return Plain();
    case 0xF6: case 0xF7: case 0xFE: case 0xFF: return WithModRm();  // immediates by reg field
    default: return Invalid();
  }
}

// Operand forms of the 0F xx opcodes other than Jcc rel32 and the 0F 38 /
// 0F 3A three-byte maps.
Form TwoByteForm(uint8_t op) {
  switch (op) {
    case 0x05: case 0x0B: case 0x31: case 0x77: case 0xA2: return Plain();  // syscall, ud2, rdtsc, emms, cpuid
    case 0x70: case 0x71: case 0x72: case 0x73:
    case 0xA4: case 0xAC: case 0xBA: case 0xC2: case 0xC4: case 0xC5: case 0xC6:
      return WithModRm(kImm8);
    default: break;
  }
  if (op >= 0xC8 && op <= 0xCF) return Plain();  // bswap
  if (op == 0x01 || op == 0x0D || (op >= 0x10 && op <= 0x1F) || (op >= 0x28 && op <= 0x2F) ||
      (op >= 0x40 && op <= 0x6F) || (op >= 0x74 && op <= 0x76) || op == 0x7E || op == 0x7F ||
      (op >= 0x90 && op <= 0x9F) || op == 0xA3 || op == 0xA5 || (op >= 0xAB && op <= 0xAF && op != 0xAC) ||
      op == 0xB0 || op == 0xB1 || op == 0xB3 || (op >= 0xB6 && op <= 0xBF && op != 0xBA) ||
      op == 0xC0 || op == 0xC1 || op == 0xC3 || op == 0xC7 || (op >= 0xD0 && op <= 0xFE)) {
    return WithModRm();
  }
  return Invalid();
}

bool IsLegacyPrefix(uint8_t b) {
  switch (b) {
    case 0xF0: case 0xF2: case 0xF3: case 0x2E: case 0x36: case 0x3E: case 0x26:
    case 0x64: case 0x65: case 0x66: case 0x67:
      return true;
    default:
      return false;
  }
}

class Reader {
 public:
  Reader(const uint8_t* code, size_t available)
      : code_(code), limit_(available < kMaxInstructionLength ? available : kMaxInstructionLength) {}
  bool Byte(uint8_t* b) {
    if (pos_ >= limit_) return false;
    *b = code_[pos_++];
    return true;
  }
  bool Skip(size_t n) {
    if (limit_ - pos_ < n) return false;
    pos_ += n;
    return true;
  }
  bool Signed(size_t n, int32_t* value) {
    if (limit_ - pos_ < n) return false;
    if (n == 1) {
      *value = static_cast<int8_t>(code_[pos_]);
    } else {
      uint32_t raw;
      std::memcpy(&raw, code_ + pos_, 4);
      *value = static_cast<int32_t>(raw);
    }
    pos_ += n;
    return true;
  }
  size_t pos() const { return pos_; }

 private:
  const uint8_t* code_;
  size_t limit_;
  size_t pos_ = 0;
};

}  // namespace

bool DecodeX64Instruction(const uint8_t* code, size_t available, X64Instruction* out) {
  X64Instruction result;
  Reader in(code, available);
  bool opsize = false;
  bool addrsize = false;
  bool rex_w = false;
  bool rex_b = false;
  bool plain_prefixes = true;  // only 66 / segment prefixes, allowed on nop padding
  uint8_t op = 0;
  if (!in.Byte(&op)) return false;
  for (;;) {
    if (IsLegacyPrefix(op)) {
      opsize |= op == 0x66;
      addrsize |= op == 0x67;
      plain_prefixes &= op == 0x66 || op == 0x2E;
      rex_w = rex_b = false;  // a REX byte counts only right before the opcode
    } else if ((op & 0xF0) == 0x40) {
      rex_w = (op & 0x08) != 0;
      rex_b = (op & 0x01) != 0;
      plain_prefixes = false;
    } else {
      break;
    }
    if (!in.Byte(&op)) return false;
  }

  Form form;
  bool two_byte = false;
  uint8_t op2 = 0;
  if (op == 0x0F) {
    two_byte = true;
    if (!in.Byte(&op2)) return false;
    if (op2 >= 0x80 && op2 <= 0x8F) {  // Jcc rel32
      if (opsize) return false;
      result.branch = BranchKind::kJcc;
      result.condition = op2 & 0x0F;
      if (!in.Signed(4, &result.branch_disp)) return false;
      result.length = static_cast<uint8_t>(in.pos());
      *out = result;
      return true;
    }
    if (op2 == 0x38 || op2 == 0x3A) {
      uint8_t op3;
      if (!in.Byte(&op3)) return false;
      form = WithModRm(op2 == 0x3A ? kImm8 : kImm0);
    } else {
      form = TwoByteForm(op2);
    }
  } else {
    switch (op) {
      case 0xEB: case 0xE9: case 0xE8: {
        if (opsize) return false;
        result.branch = op == 0xE8 ? BranchKind::kCall : BranchKind::kJmp;
        result.ends_flow = op != 0xE8;
        if (!in.Signed(op == 0xEB ? 1 : 4, &result.branch_disp)) return false;
        result.length = static_cast<uint8_t>(in.pos());
        *out = result;
        return true;
      }
      case 0xC3: case 0xC2:
        if (!in.Skip(op == 0xC2 ? 2 : 0)) return false;
        result.ends_flow = true;
        result.length = static_cast<uint8_t>(in.pos());
        *out = result;
        return true;
      default:
        break;
    }
    if (op >= 0x70 && op <= 0x7F) {  // Jcc rel8
      if (opsize) return false;
      result.branch = BranchKind::kJcc;
      result.condition = op & 0x0F;
      if (!in.Signed(1, &result.branch_disp)) return false;
      result.length = static_cast<uint8_t>(in.pos());
      *out = result;
      return true;
    }
    form = OneByteForm(op);
  }
  if (!form.valid) return false;

  uint8_t reg = 0;
  if (form.modrm) {
    uint8_t modrm;
    if (!in.Byte(&modrm)) return false;
    const uint8_t mod = modrm >> 6;
    reg = (modrm >> 3) & 7;
    const uint8_t rm = modrm & 7;
    size_t disp = mod == 1 ? 1 : mod == 2 ? 4 : 0;
    if (mod != 3 && rm == 4) {
      uint8_t sib;
      if (!in.Byte(&sib)) return false;
      if (mod == 0 && (sib & 7) == 5) disp = 4;  // no base register: disp32 absolute
    } else if (mod == 0 && rm == 5) {
      if (addrsize) return false;  // eip-relative: not relocatable the same way
      result.rip_relative = true;
      result.disp_offset = static_cast<uint8_t>(in.pos());
      disp = 4;
    }
    if (!in.Skip(disp)) return false;

    if (!two_byte) {
      if (op == 0xFF) {
        if (reg == 3 || reg == 5 || reg == 7) return false;  // far call/jmp, undefined
        result.ends_flow = reg == 4;
      } else if (op == 0xF6 && reg < 2) {
        form.imm = kImm8;
      } else if (op == 0xF7 && reg < 2) {
        form.imm = kImmZ;
      }
    } else if (op2 == 0x1F && reg == 0 && plain_prefixes) {
      result.is_padding = true;  // multi-byte nop
    }
  } else if (!two_byte && op == 0xCC) {
    result.is_padding = true;
  } else if (!two_byte && op == 0x90 && plain_prefixes && !rex_b) {
    result.is_padding = true;
  }

  size_t imm = 0;
  switch (form.imm) {
    case kImmZ: imm = (opsize && !rex_w) ? 2 : 4; break;
    case kImmV: imm = rex_w ? 8 : (opsize ? 2 : 4); break;
    case kImmMoffs: imm = addrsize ? 4 : 8; break;
    default: imm = form.imm; break;
  }
  if (!in.Skip(imm)) return false;
  result.length = static_cast<uint8_t>(in.pos());
  *out = result;
  return true;
}

}  // namespace Vextra::hook
