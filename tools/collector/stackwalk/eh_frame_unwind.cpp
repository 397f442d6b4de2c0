#include "stackwalk/eh_frame_unwind.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace collector {
namespace {

// Reads the little-endian fields of call frame information; once a read
// runs past the end, every further read gives zero and ok() is false.
class Cursor {
 public:
  Cursor(std::string_view data, uint64_t address) : data_(data), address_(address) {}

  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  bool done() const { return pos_ >= data_.size(); }
  uint64_t address() const { return address_ + pos_; }  // module-relative address of the next byte

  template <typename T>
  T Fixed() {
    T value{};
    if (data_.size() - pos_ < sizeof(T)) {
      ok_ = false;
      pos_ = data_.size();
      return value;
    }
    std::memcpy(&value, data_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return value;
  }
  uint8_t U8() { return Fixed<uint8_t>(); }

  uint64_t Uleb() {
    uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
      if (pos_ >= data_.size()) {
        ok_ = false;
        return 0;
      }
      const uint8_t byte = static_cast<uint8_t>(data_[pos_++]);
      if (shift < 64) value |= uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) return value;
    }
  }
  int64_t Sleb() {
    uint64_t value = 0;
    int shift = 0;
    uint8_t byte = 0;
    do {
      if (pos_ >= data_.size()) {
        ok_ = false;
        return 0;
      }
      byte = static_cast<uint8_t>(data_[pos_++]);
      if (shift < 64) value |= uint64_t{byte & 0x7Fu} << shift;
      shift += 7;
    } while ((byte & 0x80) != 0);
    if (shift < 64 && (byte & 0x40) != 0) value |= ~uint64_t{0} << shift;
    return static_cast<int64_t>(value);
  }

  std::string_view Take(uint64_t size) {
    if (data_.size() - pos_ < size) {
      ok_ = false;
      pos_ = data_.size();
      return {};
    }
    std::string_view taken = data_.substr(pos_, size);
    pos_ += size;
    return taken;
  }

  // A pointer encoded as encoding says, as a module-relative address (or, for
  // a length, the plain value when applied is false). False for encodings
  // this module's tables have no business using.
  bool Pointer(uint8_t encoding, uint64_t elf_base, bool applied, uint64_t* out) {
    if (encoding == 0xFF) {
      *out = 0;
      return true;
    }
    const uint64_t field = address();
    uint64_t value = 0;
    switch (encoding & 0x0F) {
      case 0x00: case 0x04: value = Fixed<uint64_t>(); break;
      case 0x01: value = Uleb(); break;
      case 0x02: value = Fixed<uint16_t>(); break;
      case 0x03: value = Fixed<uint32_t>(); break;
      case 0x09: value = static_cast<uint64_t>(Sleb()); break;
      case 0x0A: value = static_cast<uint64_t>(int64_t{Fixed<int16_t>()}); break;
      case 0x0B: value = static_cast<uint64_t>(int64_t{Fixed<int32_t>()}); break;
      case 0x0C: value = Fixed<uint64_t>(); break;
      default: return false;
    }
    if (!ok_) return false;
    if (!applied) {
      *out = value;
      return true;
    }
    if ((encoding & 0x80) != 0) return false;  // indirect: only personality routines use it
    switch (encoding & 0x70) {
      case 0x00: *out = value - elf_base; return true;
      case 0x10: *out = value + field; return true;
      default: return false;
    }
  }

 private:
  std::string_view data_;
  uint64_t address_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// DWARF's numbering of the x86-64 registers, to the processor's.
int DwarfToReg(uint64_t dwarf) {
  static const int kMap[17] = {0, 2, 1, 3, 6, 7, 5, 4, 8, 9, 10, 11, 12, 13, 14, 15, Registers::kRip};
  return dwarf < 17 ? kMap[dwarf] : -1;
}

enum class RuleKind : uint8_t { kSame, kUndefined, kOffset, kValOffset, kRegister, kExpression, kValExpression };
struct Rule {
  RuleKind kind = RuleKind::kSame;
  int64_t offset = 0;
  uint64_t reg = 0;
  std::string_view expression;
};
// A factored offset times the alignment factor, wrapping as the machine does
// (hostile tables must not reach signed overflow).
int64_t Scale(uint64_t factored, int64_t align) {
  return static_cast<int64_t>(factored * static_cast<uint64_t>(align));
}

Rule MakeRule(RuleKind kind, int64_t offset = 0) {
  Rule rule;
  rule.kind = kind;
  rule.offset = offset;
  return rule;
}
struct Row {
  bool cfa_is_expression = false;
  uint64_t cfa_reg = 0;
  int64_t cfa_offset = 0;
  std::string_view cfa_expression;
  Rule rules[17];  // by DWARF number; others are not tracked
};

constexpr int kMaxRememberedRows = 32;
constexpr int kMaxExpressionSteps = 1000;
constexpr int kMaxExpressionStack = 64;

// Runs a DWARF expression over the frame's registers and the stored memory.
bool Evaluate(std::string_view expression, const Registers& regs, const DumpMemory& memory, bool push_cfa,
              uint64_t cfa, uint64_t* result, std::string* why) {
  uint64_t stack[kMaxExpressionStack];
  int depth = 0;
  if (push_cfa) stack[depth++] = cfa;
  Cursor in(expression, 0);
  auto fail = [&](const std::string& text) {
    *why = "CFI expression: " + text;
    return false;
  };
  for (int steps = 0; !in.done(); ++steps) {
    if (steps >= kMaxExpressionSteps) return fail("too many steps");
    const uint8_t op = in.U8();
    // Operands first; then what each operator needs from the stack.
    int64_t operand = 0;
    bool push = false;
    uint64_t pushed = 0;
    if (op >= 0x30 && op <= 0x4F) {
      push = true;
      pushed = op - 0x30u;
    } else if (op >= 0x70 && op <= 0x8F) {
      const int reg = DwarfToReg(op - 0x70u);
      operand = in.Sleb();
      if (reg < 0 || !regs.Has(reg)) return fail("a register that is not known");
      push = true;
      pushed = regs.value[reg] + static_cast<uint64_t>(operand);
    } else {
      switch (op) {
        case 0x03: case 0x0E: case 0x0F: push = true; pushed = in.Fixed<uint64_t>(); break;
        case 0x08: push = true; pushed = in.U8(); break;
        case 0x09: push = true; pushed = static_cast<uint64_t>(int64_t{in.Fixed<int8_t>()}); break;
        case 0x0A: push = true; pushed = in.Fixed<uint16_t>(); break;
        case 0x0B: push = true; pushed = static_cast<uint64_t>(int64_t{in.Fixed<int16_t>()}); break;
        case 0x0C: push = true; pushed = in.Fixed<uint32_t>(); break;
        case 0x0D: push = true; pushed = static_cast<uint64_t>(int64_t{in.Fixed<int32_t>()}); break;
        case 0x10: push = true; pushed = in.Uleb(); break;
        case 0x11: push = true; pushed = static_cast<uint64_t>(in.Sleb()); break;
        case 0x92: {
          const int reg = DwarfToReg(in.Uleb());
          operand = in.Sleb();
          if (reg < 0 || !regs.Has(reg)) return fail("a register that is not known");
          push = true;
          pushed = regs.value[reg] + static_cast<uint64_t>(operand);
          break;
        }
        default: break;
      }
    }
    if (!in.ok()) return fail("truncated");
    if (push) {
      if (depth == kMaxExpressionStack) return fail("stack overflow");
      stack[depth++] = pushed;
      continue;
    }
    auto need = [&](int n) { return depth >= n; };
    switch (op) {
      case 0x96: break;  // nop
      case 0x12:  // dup
        if (!need(1) || depth == kMaxExpressionStack) return fail("bad stack");
        stack[depth] = stack[depth - 1];
        ++depth;
        break;
      case 0x13:  // drop
        if (!need(1)) return fail("bad stack");
        --depth;
        break;
      case 0x14:  // over
        if (!need(2) || depth == kMaxExpressionStack) return fail("bad stack");
        stack[depth] = stack[depth - 2];
        ++depth;
        break;
      case 0x15: {  // pick
        const uint8_t index = in.U8();
        if (index >= depth || depth == kMaxExpressionStack) return fail("bad stack");
        stack[depth] = stack[depth - 1 - index];
        ++depth;
        break;
      }
      case 0x16:  // swap
        if (!need(2)) return fail("bad stack");
        std::swap(stack[depth - 1], stack[depth - 2]);
        break;
      case 0x17: {  // rot
        if (!need(3)) return fail("bad stack");
        const uint64_t top = stack[depth - 1];
        stack[depth - 1] = stack[depth - 2];
        stack[depth - 2] = stack[depth - 3];
        stack[depth - 3] = top;
        break;
      }
      case 0x06: case 0x94: {  // deref, deref_size
        const uint8_t size = op == 0x06 ? 8 : in.U8();
        if (!need(1) || size == 0 || size > 8) return fail("bad dereference");
        uint64_t value = 0;
        if (!memory.Read(stack[depth - 1], &value, size)) return fail("reads memory the dump did not store");
        stack[depth - 1] = value;
        break;
      }
      case 0x19:  // abs
        if (!need(1)) return fail("bad stack");
        if (static_cast<int64_t>(stack[depth - 1]) < 0) stack[depth - 1] = 0 - stack[depth - 1];
        break;
      case 0x1F:  // neg
        if (!need(1)) return fail("bad stack");
        stack[depth - 1] = 0 - stack[depth - 1];
        break;
      case 0x20:  // not
        if (!need(1)) return fail("bad stack");
        stack[depth - 1] = ~stack[depth - 1];
        break;
      case 0x23:  // plus_uconst
        if (!need(1)) return fail("bad stack");
        stack[depth - 1] += in.Uleb();
        break;
      case 0x2F: case 0x28: {  // skip, bra
        const int16_t offset = in.Fixed<int16_t>();
        if (!in.ok()) return fail("truncated");
        bool jump = true;
        if (op == 0x28) {
          if (!need(1)) return fail("bad stack");
          jump = stack[--depth] != 0;
        }
        if (jump) {
          const int64_t target = static_cast<int64_t>(in.pos()) + offset;
          if (target < 0 || target > static_cast<int64_t>(expression.size())) return fail("a branch outside it");
          in = Cursor(expression, 0);
          in.Take(static_cast<uint64_t>(target));
        }
        break;
      }
      case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E: case 0x21: case 0x22: case 0x24: case 0x25:
      case 0x26: case 0x27: case 0x29: case 0x2A: case 0x2B: case 0x2C: case 0x2D: case 0x2E: {
        if (!need(2)) return fail("bad stack");
        const uint64_t b = stack[--depth];
        const uint64_t a = stack[depth - 1];
        const int64_t sa = static_cast<int64_t>(a), sb = static_cast<int64_t>(b);
        uint64_t r = 0;
        switch (op) {
          case 0x1A: r = a & b; break;
          case 0x1B:
            if (sb == 0 || (sb == -1 && sa == INT64_MIN)) return fail("division by zero");
            r = static_cast<uint64_t>(sa / sb);
            break;
          case 0x1C: r = a - b; break;
          case 0x1D:
            if (b == 0) return fail("division by zero");
            r = a % b;
            break;
          case 0x1E: r = a * b; break;
          case 0x21: r = a | b; break;
          case 0x22: r = a + b; break;
          case 0x24: r = b >= 64 ? 0 : a << b; break;
          case 0x25: r = b >= 64 ? 0 : a >> b; break;
          case 0x26: r = static_cast<uint64_t>(b >= 64 ? (sa < 0 ? -1 : 0) : sa >> b); break;
          case 0x27: r = a ^ b; break;
          case 0x29: r = sa == sb; break;
          case 0x2A: r = sa >= sb; break;
          case 0x2B: r = sa > sb; break;
          case 0x2C: r = sa <= sb; break;
          case 0x2D: r = sa < sb; break;
          case 0x2E: r = sa != sb; break;
        }
        stack[depth - 1] = r;
        break;
      }
      default: return fail("unsupported operation " + std::to_string(op));
    }
    if (!in.ok()) return fail("truncated");
  }
  if (depth == 0) return fail("an empty result");
  *result = stack[depth - 1];
  return true;
}

}  // namespace

EhFrameUnwinder::EhFrameUnwinder(std::shared_ptr<const ModuleImage> image) : image_(std::move(image)) {
  if (image_ == nullptr || image_->eh_frame_size() == 0) return;
  std::string_view section = image_->BytesFrom(image_->eh_frame_address());
  if (section.size() > image_->eh_frame_size()) section = section.substr(0, image_->eh_frame_size());
  const uint64_t elf_base = image_->elf_base();
  std::map<uint64_t, uint32_t> cie_at;  // section offset -> index in cies_

  auto parse_cie = [&](uint64_t offset, uint32_t* index) {
    auto known = cie_at.find(offset);
    if (known != cie_at.end()) {
      *index = known->second;
      return known->second != UINT32_MAX;
    }
    cie_at[offset] = UINT32_MAX;
    Cursor in(section, image_->eh_frame_address());
    in.Take(offset);
    uint64_t length = in.Fixed<uint32_t>();
    if (length == 0xFFFFFFFF) length = in.Fixed<uint64_t>();
    if (!in.ok() || length > section.size() - in.pos()) return false;
    Cursor body(section.substr(0, in.pos() + length), image_->eh_frame_address());
    body.Take(in.pos());
    if (body.Fixed<uint32_t>() != 0) return false;  // not a CIE
    Cie cie;
    const uint8_t version = body.U8();
    if (version != 1 && version != 3 && version != 4) return false;
    std::string augmentation;
    for (char c; (c = static_cast<char>(body.U8())) != 0 && body.ok();) {
      if (augmentation.size() > 16) return false;
      augmentation += c;
    }
    if (version == 4) {
      if (body.U8() != 8 || body.U8() != 0) return false;  // address and segment sizes
    }
    cie.code_align = body.Uleb();
    cie.data_align = body.Sleb();
    cie.return_register = version == 1 ? body.U8() : body.Uleb();
    if (!augmentation.empty()) {
      if (augmentation[0] != 'z') return false;
      cie.has_augmentation_data = true;
      const uint64_t data_size = body.Uleb();
      Cursor data(body.Take(data_size), 0);
      for (size_t i = 1; i < augmentation.size() && data.ok(); ++i) {
        uint64_t ignored;
        switch (augmentation[i]) {
          case 'L': data.U8(); break;
          case 'R': cie.fde_encoding = data.U8(); break;
          case 'S': cie.signal_frame = true; break;
          case 'P': {
            const uint8_t encoding = data.U8();
            if (!data.Pointer(encoding & 0x0F, 0, false, &ignored)) return false;
            break;
          }
          case 'B': case 'G': break;
          default: i = augmentation.size(); break;  // the rest is skipped by its size
        }
      }
    }
    if (!body.ok()) return false;
    cie.instructions = section.substr(body.pos(), in.pos() + length - body.pos());
    *index = static_cast<uint32_t>(cies_.size());
    cie_at[offset] = *index;
    cies_.push_back(cie);
    return true;
  };

  Cursor in(section, image_->eh_frame_address());
  while (!in.done()) {
    uint64_t length = in.Fixed<uint32_t>();
    if (length == 0) break;  // the terminator
    if (length == 0xFFFFFFFF) length = in.Fixed<uint64_t>();
    if (!in.ok() || length < 4 || length > section.size() - in.pos()) break;
    const size_t end = in.pos() + length;
    const size_t id_at = in.pos();
    const uint32_t id = in.Fixed<uint32_t>();
    if (id != 0 && id <= id_at) {
      uint32_t cie_index = 0;
      if (parse_cie(id_at - id, &cie_index)) {
        const Cie& cie = cies_[cie_index];
        Cursor body(section.substr(0, end), image_->eh_frame_address());
        body.Take(in.pos());
        uint64_t begin = 0, range = 0;
        if (body.Pointer(cie.fde_encoding, elf_base, true, &begin) &&
            body.Pointer(cie.fde_encoding & 0x0F, 0, false, &range)) {
          if (cie.has_augmentation_data) body.Take(body.Uleb());
          if (body.ok() && range != 0 && begin + range > begin) {
            entries_.push_back({begin, begin + range, cie_index, section.substr(body.pos(), end - body.pos())});
          }
        }
      }
    }
    in = Cursor(section, image_->eh_frame_address());
    in.Take(end);
  }
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.begin < b.begin; });
}

namespace {

// Runs call frame instructions into row until the location passes target.
// initial is the row after the CIE's instructions (for the restore rules).
bool RunInstructions(std::string_view instructions, uint64_t code_align,
                     int64_t data_align, uint8_t fde_encoding, uint64_t elf_base, uint64_t start, uint64_t target,
                     const Row* initial, Row* row, std::string* why) {
  Cursor in(instructions, 0);
  uint64_t location = start;
  Row remembered[kMaxRememberedRows];
  int remembered_count = 0;
  auto rule = [&](uint64_t reg) -> Rule* {
    static thread_local Rule ignored;
    return reg < 17 ? &row->rules[reg] : &ignored;
  };
  auto advance = [&](uint64_t delta) {
    location += delta * code_align;
    return location <= target;
  };
  while (!in.done()) {
    const uint8_t op = in.U8();
    const uint8_t high = op & 0xC0, low = op & 0x3F;
    if (high == 0x40) {
      if (!advance(low)) return true;
      continue;
    }
    if (high == 0x80) {
      const int64_t offset = Scale(in.Uleb(), data_align);
      *rule(low) = MakeRule(RuleKind::kOffset, offset);
      continue;
    }
    if (high == 0xC0) {
      *rule(low) = initial != nullptr && low < 17 ? initial->rules[low] : Rule{};
      continue;
    }
    switch (op) {
      case 0x00: break;
      case 0x01: {
        uint64_t to = 0;
        if (!in.Pointer(fde_encoding, elf_base, true, &to)) {
          *why = "CFI: a location it cannot read";
          return false;
        }
        if (to > target) return true;
        location = to;
        break;
      }
      case 0x02: if (!advance(in.U8())) return true; break;
      case 0x03: if (!advance(in.Fixed<uint16_t>())) return true; break;
      case 0x04: if (!advance(in.Fixed<uint32_t>())) return true; break;
      case 0x05: { const uint64_t reg = in.Uleb(); *rule(reg) = MakeRule(RuleKind::kOffset, Scale(in.Uleb(), data_align)); break; }
      case 0x06: { const uint64_t reg = in.Uleb(); *rule(reg) = initial != nullptr && reg < 17 ? initial->rules[reg] : Rule{}; break; }
      case 0x07: *rule(in.Uleb()) = MakeRule(RuleKind::kUndefined); break;
      case 0x08: *rule(in.Uleb()) = MakeRule(RuleKind::kSame); break;
      case 0x09: { const uint64_t reg = in.Uleb(); Rule r = MakeRule(RuleKind::kRegister); r.reg = in.Uleb(); *rule(reg) = r; break; }
      case 0x0A:
        if (remembered_count == kMaxRememberedRows) {
          *why = "CFI: too many remembered states";
          return false;
        }
        remembered[remembered_count++] = *row;
        break;
      case 0x0B:
        if (remembered_count == 0) {
          *why = "CFI: a state restored that was never remembered";
          return false;
        }
        *row = remembered[--remembered_count];
        break;
      case 0x0C: row->cfa_is_expression = false; row->cfa_reg = in.Uleb(); row->cfa_offset = static_cast<int64_t>(in.Uleb()); break;
      case 0x0D: row->cfa_is_expression = false; row->cfa_reg = in.Uleb(); break;
      case 0x0E: row->cfa_offset = static_cast<int64_t>(in.Uleb()); break;
      case 0x0F: row->cfa_is_expression = true; row->cfa_expression = in.Take(in.Uleb()); break;
      case 0x10: case 0x16: {
        const uint64_t reg = in.Uleb();
        Rule r = MakeRule(op == 0x10 ? RuleKind::kExpression : RuleKind::kValExpression);
        r.expression = in.Take(in.Uleb());
        *rule(reg) = r;
        break;
      }
      case 0x11: { const uint64_t reg = in.Uleb(); *rule(reg) = MakeRule(RuleKind::kOffset, Scale(static_cast<uint64_t>(in.Sleb()), data_align)); break; }
      case 0x12: row->cfa_is_expression = false; row->cfa_reg = in.Uleb(); row->cfa_offset = Scale(static_cast<uint64_t>(in.Sleb()), data_align); break;
      case 0x13: row->cfa_offset = Scale(static_cast<uint64_t>(in.Sleb()), data_align); break;
      case 0x14: { const uint64_t reg = in.Uleb(); *rule(reg) = MakeRule(RuleKind::kValOffset, Scale(in.Uleb(), data_align)); break; }
      case 0x15: { const uint64_t reg = in.Uleb(); *rule(reg) = MakeRule(RuleKind::kValOffset, Scale(static_cast<uint64_t>(in.Sleb()), data_align)); break; }
      case 0x2E: in.Uleb(); break;  // the size of arguments pushed: no effect on the caller's registers
      case 0x2F: { const uint64_t reg = in.Uleb(); *rule(reg) = MakeRule(RuleKind::kOffset, Scale(0 - in.Uleb(), data_align)); break; }
      default:
        *why = "CFI: unsupported instruction " + std::to_string(op);
        return false;
    }
    if (!in.ok()) {
      *why = "CFI: truncated instructions";
      return false;
    }
  }
  return true;
}

}  // namespace

StepOutcome EhFrameUnwinder::Step(uint64_t base, bool caller_frame, const DumpMemory& memory, Registers* regs,
                                  std::string* why) const {
  const uint64_t pc = regs->pc();
  const uint64_t lookup = pc - base - (caller_frame ? 1 : 0);
  auto it = std::upper_bound(entries_.begin(), entries_.end(), lookup,
                             [](uint64_t a, const Entry& e) { return a < e.begin; });
  if (it == entries_.begin()) return StepOutcome::kNoInfo;
  --it;
  if (lookup >= it->end) return StepOutcome::kNoInfo;
  const Entry& entry = *it;
  const Cie& cie = cies_[entry.cie];
  if (cie.return_register != 16) {
    *why = "CFI: the return address is in register " + std::to_string(cie.return_register);
    return StepOutcome::kFailed;
  }
  const uint64_t target = cie.signal_frame ? pc - base : lookup;
  Row initial;
  if (!RunInstructions(cie.instructions, cie.code_align, cie.data_align, cie.fde_encoding, image_->elf_base(),
                       entry.begin, UINT64_MAX, nullptr, &initial, why)) {
    return StepOutcome::kFailed;
  }
  Row row = initial;
  if (!RunInstructions(entry.instructions, cie.code_align, cie.data_align, cie.fde_encoding, image_->elf_base(),
                       entry.begin, target, &initial, &row, why)) {
    return StepOutcome::kFailed;
  }

  uint64_t cfa = 0;
  if (row.cfa_is_expression) {
    if (!Evaluate(row.cfa_expression, *regs, memory, false, 0, &cfa, why)) return StepOutcome::kFailed;
  } else {
    const int reg = DwarfToReg(row.cfa_reg);
    if (reg < 0 || reg == Registers::kRip || !regs->Has(reg)) {
      *why = "CFI: the frame's address comes from a register that is not known";
      return StepOutcome::kFailed;
    }
    cfa = regs->value[reg] + static_cast<uint64_t>(row.cfa_offset);
  }

  Registers caller = *regs;
  caller.Set(Registers::kRsp, cfa);
  for (uint64_t dwarf = 0; dwarf < 17; ++dwarf) {
    const Rule& r = row.rules[dwarf];
    const int reg = DwarfToReg(dwarf);
    uint64_t value = 0;
    switch (r.kind) {
      case RuleKind::kSame:
        if (reg == Registers::kRip) {
          *why = "CFI: no rule for the return address";
          return StepOutcome::kFailed;
        }
        continue;
      case RuleKind::kUndefined:
        if (reg == Registers::kRip) return StepOutcome::kEnd;
        caller.valid &= ~(1u << reg);
        continue;
      case RuleKind::kOffset:
        if (!memory.Read64(cfa + static_cast<uint64_t>(r.offset), &value)) {
          *why = "CFI: a saved register lies in memory the dump did not store";
          return StepOutcome::kFailed;
        }
        break;
      case RuleKind::kValOffset: value = cfa + static_cast<uint64_t>(r.offset); break;
      case RuleKind::kRegister: {
        const int from = DwarfToReg(r.reg);
        if (from < 0 || !regs->Has(from)) {
          *why = "CFI: a register saved in a register that is not known";
          return StepOutcome::kFailed;
        }
        value = regs->value[from];
        break;
      }
      case RuleKind::kExpression:
      case RuleKind::kValExpression:
        if (!Evaluate(r.expression, *regs, memory, true, cfa, &value, why)) return StepOutcome::kFailed;
        if (r.kind == RuleKind::kExpression && !memory.Read64(value, &value)) {
          *why = "CFI: a saved register lies in memory the dump did not store";
          return StepOutcome::kFailed;
        }
        break;
    }
    caller.Set(reg, value);
  }
  *regs = caller;
  return StepOutcome::kCaller;
}

}  // namespace collector
