#include "stackwalk/module_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace collector {
namespace {

// A larger file is not read: no module's code comes near it.
constexpr uint64_t kMaxFileBytes = 512ull << 20;

bool Fits(uint64_t offset, uint64_t size, uint64_t total) { return offset <= total && size <= total - offset; }

template <typename T>
T Get(const std::string& bytes, uint64_t offset) {
  T value{};
  if (Fits(offset, sizeof(T), bytes.size())) std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

}  // namespace

std::shared_ptr<const ModuleImage> ModuleImage::Parse(std::string bytes) {
  auto image = std::make_shared<ModuleImage>();
  image->bytes_ = std::move(bytes);
  if (image->bytes_.size() >= 0x40 && image->bytes_.compare(0, 2, "MZ") == 0) {
    image->ParsePe();
  } else if (image->bytes_.size() >= 0x40 && image->bytes_.compare(0, 4, "\x7f" "ELF") == 0) {
    image->ParseElf();
  }
  std::sort(image->regions_.begin(), image->regions_.end(),
            [](const Region& a, const Region& b) { return a.address < b.address; });
  return image;
}

std::shared_ptr<const ModuleImage> ModuleImage::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  if (length < 0 || static_cast<uint64_t>(length) > kMaxFileBytes) return nullptr;
  in.seekg(0);
  std::string bytes(static_cast<size_t>(length), '\0');
  if (!in.read(bytes.data(), length)) return nullptr;
  return Parse(std::move(bytes));
}

void ModuleImage::ParsePe() {
  const uint64_t pe = Get<uint32_t>(bytes_, 0x3C);
  if (!Fits(pe, 24, bytes_.size()) || bytes_.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return;
  const uint16_t section_count = Get<uint16_t>(bytes_, pe + 6);
  const uint16_t optional_size = Get<uint16_t>(bytes_, pe + 20);
  const uint64_t optional = pe + 24;
  if (Get<uint16_t>(bytes_, optional) != 0x20B) return;  // PE32+ only: x86-64 modules
  kind_ = Kind::kPe;
  const uint32_t directory_count = Get<uint32_t>(bytes_, optional + 108);
  if (directory_count > 3 && optional_size >= 112 + 4 * 8) {
    pdata_address_ = Get<uint32_t>(bytes_, optional + 112 + 3 * 8);
    pdata_size_ = Get<uint32_t>(bytes_, optional + 112 + 3 * 8 + 4);
  }
  const uint64_t sections = optional + optional_size;
  for (uint32_t i = 0; i < section_count; ++i) {
    const uint64_t header = sections + uint64_t{i} * 40;
    if (!Fits(header, 40, bytes_.size())) break;
    Region region;
    const uint32_t virtual_size = Get<uint32_t>(bytes_, header + 8);
    region.address = Get<uint32_t>(bytes_, header + 12);
    const uint32_t raw_size = Get<uint32_t>(bytes_, header + 16);
    region.file_offset = Get<uint32_t>(bytes_, header + 20);
    const uint32_t characteristics = Get<uint32_t>(bytes_, header + 36);
    region.size = virtual_size != 0 ? virtual_size : raw_size;
    region.file_size = std::min<uint64_t>(raw_size, region.size);
    if (!Fits(region.file_offset, region.file_size, bytes_.size())) {
      region.file_size = region.file_offset < bytes_.size() ? bytes_.size() - region.file_offset : 0;
    }
    region.executable = (characteristics & 0x20000000) != 0 || (characteristics & 0x20) != 0;
    if (region.size != 0) regions_.push_back(region);
  }
}

void ModuleImage::ParseElf() {
  if (bytes_[4] != 2 || bytes_[5] != 1) return;  // 64-bit little-endian only
  kind_ = Kind::kElf;
  const uint64_t phoff = Get<uint64_t>(bytes_, 0x20);
  const uint64_t shoff = Get<uint64_t>(bytes_, 0x28);
  const uint16_t phentsize = Get<uint16_t>(bytes_, 0x36), phnum = Get<uint16_t>(bytes_, 0x38);
  const uint16_t shentsize = Get<uint16_t>(bytes_, 0x3A), shnum = Get<uint16_t>(bytes_, 0x3C);
  const uint16_t shstrndx = Get<uint16_t>(bytes_, 0x3E);

  struct Segment {
    uint32_t type, flags;
    uint64_t offset, vaddr, filesz, memsz;
  };
  std::vector<Segment> segments;
  bool have_base = false;
  if (phentsize >= 56) {
    for (uint32_t i = 0; i < phnum; ++i) {
      const uint64_t at = phoff + uint64_t{i} * phentsize;
      if (!Fits(at, 56, bytes_.size())) break;
      Segment s{Get<uint32_t>(bytes_, at),      Get<uint32_t>(bytes_, at + 4),  Get<uint64_t>(bytes_, at + 8),
                Get<uint64_t>(bytes_, at + 16), Get<uint64_t>(bytes_, at + 32), Get<uint64_t>(bytes_, at + 40)};
      if (s.type == 1 && !have_base) {  // the first PT_LOAD maps the file's start
        elf_base_ = (s.vaddr - s.offset) & ~uint64_t{0xFFF};
        have_base = true;
      }
      segments.push_back(s);
    }
  }

  // Sections first: a separate debug file keeps the program headers but not
  // the bytes they point at, and its sections say so (SHT_NOBITS).
  if (shentsize >= 64 && shnum > 0 && Fits(shoff, uint64_t{shnum} * shentsize, bytes_.size())) {
    const uint64_t names = Get<uint64_t>(bytes_, shoff + uint64_t{shstrndx} * shentsize + 24);
    const uint64_t names_size = Get<uint64_t>(bytes_, shoff + uint64_t{shstrndx} * shentsize + 32);
    for (uint32_t i = 0; i < shnum; ++i) {
      const uint64_t at = shoff + uint64_t{i} * shentsize;
      const uint32_t name = Get<uint32_t>(bytes_, at);
      const uint32_t type = Get<uint32_t>(bytes_, at + 4);
      const uint64_t flags = Get<uint64_t>(bytes_, at + 8);
      const uint64_t addr = Get<uint64_t>(bytes_, at + 16);
      const uint64_t offset = Get<uint64_t>(bytes_, at + 24);
      const uint64_t size = Get<uint64_t>(bytes_, at + 32);
      if ((flags & 0x2) == 0 || type == 8 || size == 0) continue;  // not loaded, or no bytes in the file
      if (!Fits(offset, size, bytes_.size())) continue;
      Region region{addr - elf_base_, size, offset, size, (flags & 0x4) != 0};
      regions_.push_back(region);
      if (Fits(names, names_size, bytes_.size()) && name < names_size && names_size - name >= 10 &&
          std::memcmp(bytes_.data() + names + name, ".eh_frame", 10) == 0) {
        eh_frame_address_ = region.address;
        eh_frame_size_ = size;
      }
    }
    if (!regions_.empty()) return;
  }

  // No usable sections: the loadable segments, and .eh_frame through the
  // header the loader uses to find it.
  uint64_t eh_frame_hdr = 0;
  bool have_hdr = false;
  for (const Segment& s : segments) {
    if (s.type == 1 && s.memsz != 0) {
      Region region{s.vaddr - elf_base_, s.memsz, s.offset, std::min(s.filesz, s.memsz), (s.flags & 1) != 0};
      if (!Fits(region.file_offset, region.file_size, bytes_.size())) {
        region.file_size = region.file_offset < bytes_.size() ? bytes_.size() - region.file_offset : 0;
      }
      regions_.push_back(region);
    } else if (s.type == 0x6474E550) {
      eh_frame_hdr = s.vaddr - elf_base_;
      have_hdr = true;
    }
  }
  std::sort(regions_.begin(), regions_.end(), [](const Region& a, const Region& b) { return a.address < b.address; });
  uint8_t header[8];
  if (!have_hdr || !Read(eh_frame_hdr, header, sizeof header) || header[0] != 1) return;
  // eh_frame_ptr, encoded as header[1] says: pc-relative or absolute 4/8 bytes.
  const uint8_t encoding = header[1];
  uint64_t target = 0;
  if ((encoding & 0x0F) == 0x0B || (encoding & 0x0F) == 0x03) {
    int32_t value;
    std::memcpy(&value, header + 4, 4);
    target = (encoding & 0x0F) == 0x0B ? static_cast<uint64_t>(static_cast<int64_t>(value)) : static_cast<uint32_t>(value);
  } else if ((encoding & 0x0F) == 0x04 || (encoding & 0x0F) == 0x0C || (encoding & 0x0F) == 0x00) {
    if (!Read(eh_frame_hdr + 4, &target, 8)) return;
  } else {
    return;
  }
  if ((encoding & 0x70) == 0x10) {
    target += eh_frame_hdr + 4;  // relative to the field, module-relative already
  } else if ((encoding & 0x70) == 0x00) {
    target -= elf_base_;
  } else {
    return;
  }
  const std::string_view rest = BytesFrom(target);
  if (rest.empty()) return;
  eh_frame_address_ = target;
  eh_frame_size_ = rest.size();
}

const ModuleImage::Region* ModuleImage::RegionAt(uint64_t address) const {
  auto it = std::upper_bound(regions_.begin(), regions_.end(), address,
                             [](uint64_t a, const Region& r) { return a < r.address; });
  if (it == regions_.begin()) return nullptr;
  --it;
  if (address - it->address >= it->size) return nullptr;
  return &*it;
}

std::string_view ModuleImage::BytesFrom(uint64_t address) const {
  const Region* region = RegionAt(address);
  if (region == nullptr) return {};
  const uint64_t into = address - region->address;
  if (into >= region->file_size) return {};
  return std::string_view(bytes_.data() + region->file_offset + into, region->file_size - into);
}

bool ModuleImage::Read(uint64_t address, void* out, size_t size) const {
  if (size == 0) return true;
  const std::string_view bytes = BytesFrom(address);
  if (bytes.size() < size) return false;
  std::memcpy(out, bytes.data(), size);
  return true;
}

bool ModuleImage::IsCode(uint64_t address) const {
  const Region* region = RegionAt(address);
  return region != nullptr && region->executable;
}

}  // namespace collector
