#pragma once
// The tests' own look-up of function names in an ELF file's symbol tables
// (.symtab, else .dynsym), kept apart from the walker's reader so that a
// fault in one is not hidden by the same fault in the other.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace stackwalk_test {

class ElfSymbols {
 public:
  explicit ElfSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes_.size() < 64 || bytes_.compare(0, 4, "\x7f" "ELF") != 0) return;
    const uint64_t phoff = Get<uint64_t>(0x20), shoff = Get<uint64_t>(0x28);
    const uint16_t phnum = Get<uint16_t>(0x38), shnum = Get<uint16_t>(0x3C);
    for (uint16_t i = 0; i < phnum; ++i) {
      if (Get<uint32_t>(phoff + i * 56u) == 1) {  // the first PT_LOAD
        base_ = (Get<uint64_t>(phoff + i * 56u + 16) - Get<uint64_t>(phoff + i * 56u + 8)) & ~uint64_t{0xFFF};
        break;
      }
    }
    for (uint32_t wanted : {2u, 11u}) {  // SHT_SYMTAB, then SHT_DYNSYM
      for (uint16_t i = 0; i < shnum && symbols_.empty(); ++i) {
        const uint64_t header = shoff + i * 64u;
        if (Get<uint32_t>(header + 4) != wanted) continue;
        const uint64_t offset = Get<uint64_t>(header + 24), size = Get<uint64_t>(header + 32);
        const uint64_t strings = Get<uint64_t>(shoff + Get<uint32_t>(header + 40) * 64u + 24);
        for (uint64_t at = offset; at + 24 <= offset + size && at + 24 <= bytes_.size(); at += 24) {
          if ((Get<uint8_t>(at + 4) & 0xF) != 2) continue;  // STT_FUNC
          const uint64_t value = Get<uint64_t>(at + 8), length = Get<uint64_t>(at + 16);
          if (value == 0 || strings + Get<uint32_t>(at) >= bytes_.size()) continue;
          symbols_.push_back({value, length, std::string(bytes_.c_str() + strings + Get<uint32_t>(at))});
        }
      }
    }
    std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) { return a.value < b.value; });
  }

  // The function holding the address at module_offset from the load base.
  std::string FunctionAt(uint64_t module_offset) const {
    const uint64_t address = module_offset + base_;
    for (auto it = symbols_.rbegin(); it != symbols_.rend(); ++it) {
      if (it->value <= address && address < it->value + std::max<uint64_t>(it->size, 1)) return it->name;
    }
    return "";
  }

  // The module offset of a function's start, 0 when it is not there.
  uint64_t OffsetOf(const std::string& name) const {
    for (const Symbol& s : symbols_) {
      if (s.name == name) return s.value - base_;
    }
    return 0;
  }

 private:
  struct Symbol {
    uint64_t value, size;
    std::string name;
  };
  template <typename T>
  T Get(uint64_t offset) const {
    T value{};
    if (offset <= bytes_.size() && sizeof(T) <= bytes_.size() - offset) std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }
  std::string bytes_;
  uint64_t base_ = 0;
  std::vector<Symbol> symbols_;
};

}  // namespace stackwalk_test
