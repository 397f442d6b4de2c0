#pragma once
// The tests' own look-up of function names in a PE file: its COFF symbol
// table when it has one (MinGW leaves it in unstripped programs), else its
// export table. Kept apart from the walker's reader.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace stackwalk_test {

class PeSymbols {
 public:
  explicit PeSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes_.size() < 0x40 || bytes_.compare(0, 2, "MZ") != 0) return;
    const uint32_t pe = Get<uint32_t>(0x3C);
    const uint16_t section_count = Get<uint16_t>(pe + 6);
    const uint32_t symbol_table = Get<uint32_t>(pe + 12), symbol_count = Get<uint32_t>(pe + 16);
    const uint16_t optional_size = Get<uint16_t>(pe + 20);
    const uint64_t sections = pe + 24 + optional_size;
    for (uint16_t i = 0; i < section_count; ++i) {
      section_rva_.push_back(Get<uint32_t>(sections + i * 40 + 12));
      section_raw_.push_back(Get<uint32_t>(sections + i * 40 + 20));
      section_size_.push_back(Get<uint32_t>(sections + i * 40 + 16));
    }
    const uint64_t strings = symbol_table + uint64_t{symbol_count} * 18;
    for (uint32_t i = 0; symbol_table != 0 && i < symbol_count; ++i) {
      const uint64_t at = symbol_table + uint64_t{i} * 18;
      const uint16_t section = Get<uint16_t>(at + 12), type = Get<uint16_t>(at + 14);
      const uint8_t aux = Get<uint8_t>(at + 17);
      if (type == 0x20 && section >= 1 && section <= section_rva_.size()) {
        std::string name;
        if (Get<uint32_t>(at) == 0) {
          const uint64_t offset = strings + Get<uint32_t>(at + 4);
          if (offset < bytes_.size()) name = bytes_.c_str() + offset;
        } else {
          name.assign(bytes_.data() + at, strnlen(bytes_.data() + at, 8));
        }
        symbols_.push_back({section_rva_[section - 1] + Get<uint32_t>(at + 8), name});
      }
      i += aux;
    }
    if (symbols_.empty()) ReadExports(pe);
    std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
  }

  // The nearest function starting at or below the RVA.
  std::string FunctionAt(uint64_t rva) const {
    std::string name;
    for (const Symbol& s : symbols_) {
      if (s.rva > rva) break;
      name = s.name;
    }
    return name;
  }

 private:
  struct Symbol {
    uint64_t rva;
    std::string name;
  };
  template <typename T>
  T Get(uint64_t offset) const {
    T value{};
    if (offset <= bytes_.size() && sizeof(T) <= bytes_.size() - offset) std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }
  uint64_t Offset(uint32_t rva) const {
    for (size_t i = 0; i < section_rva_.size(); ++i) {
      if (rva >= section_rva_[i] && rva - section_rva_[i] < section_size_[i]) return section_raw_[i] + (rva - section_rva_[i]);
    }
    return bytes_.size();
  }
  void ReadExports(uint32_t pe) {
    const uint32_t directory = Get<uint32_t>(pe + 24 + 112);
    if (directory == 0) return;
    const uint64_t at = Offset(directory);
    const uint32_t names = Get<uint32_t>(at + 24);
    const uint64_t functions = Offset(Get<uint32_t>(at + 28)), name_rvas = Offset(Get<uint32_t>(at + 32)),
                   ordinals = Offset(Get<uint32_t>(at + 36));
    for (uint32_t i = 0; i < names; ++i) {
      const uint64_t name = Offset(Get<uint32_t>(name_rvas + i * 4));
      const uint16_t ordinal = Get<uint16_t>(ordinals + i * 2);
      if (name < bytes_.size()) symbols_.push_back({Get<uint32_t>(functions + ordinal * 4u), bytes_.c_str() + name});
    }
  }

  std::string bytes_;
  std::vector<uint32_t> section_rva_, section_raw_, section_size_;
  std::vector<Symbol> symbols_;
};

}  // namespace stackwalk_test
