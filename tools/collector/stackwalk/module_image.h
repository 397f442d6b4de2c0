#pragma once
// A module's file (PE image or ELF object) as the walker needs it: where its
// bytes lie for a module-relative address, which addresses are code, and
// where its unwind tables are. Every size and offset in the file is checked
// against the file before it is used; a file that does not hold together
// simply offers less (no tables, no code).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace collector {

class ModuleImage {
 public:
  enum class Kind { kNone, kPe, kElf };

  // A stretch of the file that the loader places at module-relative
  // addresses [address, address + size); file_size bytes of it come from the
  // file at file_offset, the rest is zero-filled.
  struct Region {
    uint64_t address = 0;
    uint64_t size = 0;
    uint64_t file_offset = 0;
    uint64_t file_size = 0;
    bool executable = false;
  };

  // Parses bytes (the whole file). Kind() is kNone when they are neither.
  static std::shared_ptr<const ModuleImage> Parse(std::string bytes);
  // Reads the file at path (up to a bound); nullptr when it cannot be read.
  static std::shared_ptr<const ModuleImage> Load(const std::string& path);

  Kind kind() const { return kind_; }
  // Module-relative addresses are RVAs for PE; for ELF, pc - load base, i.e.
  // the address the object file names minus elf_base().
  uint64_t elf_base() const { return elf_base_; }

  // Copies size bytes at the module-relative address; false unless all of
  // them lie in one region's file bytes.
  bool Read(uint64_t address, void* out, size_t size) const;
  // The file bytes from address to the end of its region (empty outside).
  std::string_view BytesFrom(uint64_t address) const;
  bool IsCode(uint64_t address) const;

  // PE: the exception directory (.pdata), as a module-relative range.
  uint64_t pdata_address() const { return pdata_address_; }
  uint64_t pdata_size() const { return pdata_size_; }
  // ELF: the .eh_frame section as a module-relative range; size may be an
  // upper bound (the rest of its segment) when only the program headers
  // located it.
  uint64_t eh_frame_address() const { return eh_frame_address_; }
  uint64_t eh_frame_size() const { return eh_frame_size_; }

  const std::vector<Region>& regions() const { return regions_; }

 private:
  void ParsePe();
  void ParseElf();
  const Region* RegionAt(uint64_t address) const;

  std::string bytes_;
  Kind kind_ = Kind::kNone;
  uint64_t elf_base_ = 0;
  std::vector<Region> regions_;
  uint64_t pdata_address_ = 0, pdata_size_ = 0;
  uint64_t eh_frame_address_ = 0, eh_frame_size_ = 0;
};

}  // namespace collector
