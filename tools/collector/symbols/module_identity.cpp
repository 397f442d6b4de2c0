#include "collector/symbols/module_identity.h"

#include <zlib.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "minidump/identity_text.h"

namespace collector {
namespace {

// Bounds-checked little-endian reads from the file's bytes.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : data_(data) {}
  uint64_t size() const { return data_.size(); }
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }
  template <typename T>
  bool Read(uint64_t offset, T* value) const {
    if (!Has(offset, sizeof(T))) return false;
    std::memcpy(value, data_.data() + offset, sizeof(T));
    return true;
  }
  std::string_view Slice(uint64_t offset, uint64_t length) const {
    return Has(offset, length) ? data_.substr(offset, length) : std::string_view();
  }

 private:
  std::string_view data_;
};

// ".gnu_debuglink": the file name, NUL, padding to four bytes, the CRC.
bool ParseDebugLink(std::string_view contents, ModuleIdentity* identity) {
  const size_t end = contents.find('\0');
  if (end == std::string_view::npos || end == 0) return false;
  const size_t crc_at = (end + 4) & ~static_cast<size_t>(3);
  if (crc_at + 4 > contents.size()) return false;
  identity->has_debuglink = true;
  identity->debuglink_name = std::string(contents.substr(0, end));
  std::memcpy(&identity->debuglink_crc, contents.data() + crc_at, 4);
  return true;
}

// --- PE ------------------------------------------------------------------------
constexpr uint32_t kPeSectionHasCode = 0x20;
constexpr uint32_t kPeDebugTypeCodeView = 2;
constexpr uint32_t kRsdsSignature = 0x53445352;  // "RSDS"
constexpr size_t kMaxPeSections = 1024;
constexpr size_t kMaxDebugEntries = 64;

struct PeSection {
  std::string name;
  uint32_t virtual_size = 0, virtual_address = 0, raw_size = 0, raw_pointer = 0, flags = 0;
};

bool ParsePe(const Bytes& file, bool headers_only, ModuleIdentity* identity, std::string* error) {
  uint32_t pe_at = 0;
  uint32_t signature = 0;
  if (!file.Read(0x3C, &pe_at) || !file.Read(pe_at, &signature) || signature != 0x00004550) {
    *error = "the DOS header does not lead to a PE header";
    return false;
  }
  identity->format = ModuleFormat::kPe;
  const uint64_t coff = uint64_t{pe_at} + 4;
  uint16_t section_count = 0, optional_size = 0, magic = 0;
  uint32_t symbol_table = 0, symbol_count = 0;
  uint32_t time_date_stamp = 0, size_of_image = 0;
  if (!file.Read(coff, &identity->machine) || !file.Read(coff + 2, &section_count) ||
      !file.Read(coff + 4, &time_date_stamp) ||
      !file.Read(coff + 8, &symbol_table) || !file.Read(coff + 12, &symbol_count) ||
      !file.Read(coff + 16, &optional_size)) {
    *error = "the PE file header is cut short";
    return false;
  }
  const uint64_t optional = coff + 20;
  if (!file.Has(optional, optional_size) || optional_size < 2 || !file.Read(optional, &magic)) {
    *error = "the PE optional header lies beyond the end of the file";
    return false;
  }
  uint64_t directories = 0;
  uint32_t directory_count = 0;
  bool ok = false;
  if (magic == 0x20b) {
    ok = file.Read(optional + 24, &identity->image_base) && file.Read(optional + 108, &directory_count);
    directories = optional + 112;
  } else if (magic == 0x10b) {
    uint32_t base = 0;
    ok = file.Read(optional + 28, &base) && file.Read(optional + 92, &directory_count);
    identity->image_base = base;
    directories = optional + 96;
  } else {
    *error = "unknown PE optional header magic";
    return false;
  }
  if (!ok || directories > optional + optional_size || !file.Read(optional + 56, &size_of_image)) {
    *error = "the PE optional header is cut short";
    return false;
  }
  identity->code_id = Vextra::minidump::PeCodeId(time_date_stamp, size_of_image);
  directory_count = static_cast<uint32_t>(std::min<uint64_t>(directory_count, (optional + optional_size - directories) / 8));

  if (headers_only) return true;
  if (section_count > kMaxPeSections) {
    *error = "the PE header names " + std::to_string(section_count) + " sections";
    return false;
  }
  const uint64_t string_table = uint64_t{symbol_table} + uint64_t{symbol_count} * 18;
  std::vector<PeSection> sections;
  const uint64_t headers = optional + optional_size;
  for (uint64_t i = 0; i < section_count; ++i) {
    const uint64_t at = headers + i * 40;
    PeSection section;
    std::string_view raw_name = file.Slice(at, 8);
    if (raw_name.empty() || !file.Read(at + 8, &section.virtual_size) || !file.Read(at + 12, &section.virtual_address) ||
        !file.Read(at + 16, &section.raw_size) || !file.Read(at + 20, &section.raw_pointer) ||
        !file.Read(at + 36, &section.flags)) {
      *error = "the PE section table lies beyond the end of the file";
      return false;
    }
    section.name = std::string(raw_name.substr(0, std::min(raw_name.find('\0'), raw_name.size())));
    // Longer names ("/123") sit in the COFF string table after the symbols.
    if (section.name.size() > 1 && section.name[0] == '/' && symbol_table != 0) {
      const uint64_t offset = std::strtoull(section.name.c_str() + 1, nullptr, 10);
      if (file.Has(string_table + offset, 1)) {
        const std::string_view rest =
            file.Slice(string_table + offset, std::min<uint64_t>(256, file.size() - string_table - offset));
        section.name = std::string(rest.substr(0, std::min(rest.find('\0'), rest.size())));
      }
    }
    sections.push_back(section);
  }

  // A section's bytes in the file; empty when it has none there.
  auto contents = [&](const PeSection& section) {
    if (section.raw_pointer == 0 || section.raw_size == 0) return std::string_view();
    uint32_t length = section.raw_size;
    if (section.virtual_size != 0) length = std::min(length, section.virtual_size);
    return file.Slice(section.raw_pointer, length);
  };
  // The file offset of an address relative to the image base.
  auto rva_to_offset = [&](uint32_t rva, uint32_t length, uint64_t* offset) {
    for (const PeSection& section : sections) {
      if (section.raw_pointer == 0 || rva < section.virtual_address) continue;
      const uint64_t inside = rva - section.virtual_address;
      if (inside + length <= section.raw_size && file.Has(uint64_t{section.raw_pointer} + inside, length)) {
        *offset = section.raw_pointer + inside;
        return true;
      }
    }
    return false;
  };

  bool has_code_section = false, has_code_bytes = false;
  for (const PeSection& section : sections) {
    if (section.flags & kPeSectionHasCode) {
      has_code_section = true;
      if (!contents(section).empty()) has_code_bytes = true;
    }
    if (section.name == ".debug_info" && !contents(section).empty()) identity->has_debug_info = true;
    if (section.name == ".eh_frame" && !contents(section).empty()) identity->has_eh_frame = true;
    if (section.name == ".gnu_debuglink") ParseDebugLink(contents(section), identity);
  }
  identity->debug_only = has_code_section && !has_code_bytes;

  uint32_t debug_rva = 0, debug_size = 0;
  if (directory_count > 6 && file.Read(directories + 6 * 8, &debug_rva) && file.Read(directories + 6 * 8 + 4, &debug_size) &&
      debug_rva != 0 && debug_size != 0) {
    const size_t count = std::min<size_t>(debug_size / 28, kMaxDebugEntries);
    uint64_t table = 0;
    if (!rva_to_offset(debug_rva, static_cast<uint32_t>(count * 28), &table)) {
      *error = "the PE debug directory lies outside the file's sections";
      return false;
    }
    for (size_t i = 0; i < count; ++i) {
      const uint64_t entry = table + i * 28;
      uint32_t type = 0, size = 0, rva = 0, pointer = 0;
      file.Read(entry + 12, &type);
      file.Read(entry + 16, &size);
      file.Read(entry + 20, &rva);
      file.Read(entry + 24, &pointer);
      if (type != kPeDebugTypeCodeView) continue;
      uint64_t record = 0;
      if (!(rva != 0 && rva_to_offset(rva, size, &record))) {
        if (pointer == 0 || !file.Has(pointer, size)) {
          *error = "the PE CodeView record lies outside the file";
          return false;
        }
        record = pointer;
      }
      uint32_t record_signature = 0;
      if (size < 24 + 1 || !file.Read(record, &record_signature)) continue;
      if (record_signature != kRsdsSignature) continue;
      uint8_t guid[16];
      uint32_t age = 0;
      std::memcpy(guid, file.Slice(record + 4, 16).data(), 16);
      file.Read(record + 20, &age);
      identity->debug_id = Vextra::minidump::PdbDebugId(guid, age);
      std::string_view name = file.Slice(record + 24, size - 24);
      identity->pdb_name = std::string(name.substr(0, std::min(name.find('\0'), name.size())));
      break;
    }
  }
  return true;
}

// --- ELF -----------------------------------------------------------------------
constexpr uint32_t kPtLoad = 1, kPtNote = 4;
constexpr uint32_t kShtNote = 7, kShtNobits = 8;
constexpr uint64_t kShfExecInstr = 0x4;
constexpr uint32_t kNtGnuBuildId = 3;
constexpr size_t kMaxElfHeaders = 65536;
constexpr off_t kHeaderBytes = 64 * 1024;  // holds the headers ReadModuleHeaders needs

// Walks one note area; sets the build id when a GNU build-id note is in it.
void FindBuildId(std::string_view notes, ModuleIdentity* identity) {
  size_t at = 0;
  while (identity->debug_id.empty() && at + 12 <= notes.size()) {
    uint32_t name_size = 0, desc_size = 0, type = 0;
    std::memcpy(&name_size, notes.data() + at, 4);
    std::memcpy(&desc_size, notes.data() + at + 4, 4);
    std::memcpy(&type, notes.data() + at + 8, 4);
    const uint64_t name_at = at + 12;
    const uint64_t desc_at = name_at + ((uint64_t{name_size} + 3) & ~uint64_t{3});
    const uint64_t next = desc_at + ((uint64_t{desc_size} + 3) & ~uint64_t{3});
    if (desc_at > notes.size() || uint64_t{desc_size} > notes.size() - desc_at) return;
    if (type == kNtGnuBuildId && name_size == 4 && std::memcmp(notes.data() + name_at, "GNU", 4) == 0 && desc_size > 0) {
      identity->debug_id = Vextra::minidump::HexBytes(reinterpret_cast<const uint8_t*>(notes.data() + desc_at), desc_size, false);
    }
    at = next;
  }
}

bool ParseElf(const Bytes& file, bool headers_only, ModuleIdentity* identity, std::string* error) {
  uint8_t elf_class = 0, encoding = 0;
  file.Read(4, &elf_class);
  file.Read(5, &encoding);
  if (elf_class != 2 || encoding != 1) {
    *error = "only 64-bit little-endian ELF files are supported";
    return false;
  }
  identity->format = ModuleFormat::kElf;
  uint64_t ph_offset = 0, sh_offset = 0;
  uint16_t ph_size = 0, ph_count = 0, sh_size = 0, sh_count16 = 0, names_index16 = 0;
  if (!file.Read(18, &identity->machine) || !file.Read(32, &ph_offset) || !file.Read(40, &sh_offset) ||
      !file.Read(54, &ph_size) || !file.Read(56, &ph_count) || !file.Read(58, &sh_size) ||
      !file.Read(60, &sh_count16) || !file.Read(62, &names_index16)) {
    *error = "the ELF header is cut short";
    return false;
  }

  bool found_load = false;
  std::vector<std::string_view> segment_notes;
  if (ph_count != 0) {
    if (ph_size < 56 || !file.Has(ph_offset, uint64_t{ph_size} * ph_count)) {
      *error = "the ELF program headers lie beyond the end of the file";
      return false;
    }
    for (uint64_t i = 0; i < ph_count; ++i) {
      const uint64_t at = ph_offset + i * ph_size;
      uint32_t type = 0;
      uint64_t offset = 0, vaddr = 0, filesz = 0;
      file.Read(at, &type);
      file.Read(at + 8, &offset);
      file.Read(at + 16, &vaddr);
      file.Read(at + 32, &filesz);
      if (type == kPtLoad && !found_load) {
        found_load = true;
        identity->first_load_vaddr = vaddr;
      }
      if (type == kPtNote && filesz != 0) segment_notes.push_back(file.Slice(offset, filesz));
    }
  }

  if (headers_only) return true;
  uint64_t sh_count = sh_count16;
  uint32_t names_index = names_index16;
  if (sh_offset != 0) {
    if (sh_size < 64 || !file.Has(sh_offset, 64)) {
      *error = "the ELF section headers lie beyond the end of the file";
      return false;
    }
    // Extended numbering: the real counts sit in section header 0.
    if (sh_count == 0) file.Read(sh_offset + 32, &sh_count);
    if (names_index == 0xFFFF) file.Read(sh_offset + 40, &names_index);
    if (sh_count > kMaxElfHeaders || !file.Has(sh_offset, sh_count * sh_size)) {
      *error = "the ELF section headers lie beyond the end of the file";
      return false;
    }
  } else {
    sh_count = 0;
  }
  struct Section {
    uint32_t name = 0, type = 0;
    uint64_t flags = 0, offset = 0, size = 0;
  };
  std::vector<Section> sections(sh_count);
  for (uint64_t i = 0; i < sh_count; ++i) {
    const uint64_t at = sh_offset + i * sh_size;
    file.Read(at, &sections[i].name);
    file.Read(at + 4, &sections[i].type);
    file.Read(at + 8, &sections[i].flags);
    file.Read(at + 24, &sections[i].offset);
    file.Read(at + 32, &sections[i].size);
  }
  auto contents = [&](const Section& section) {
    if (section.type == kShtNobits || section.size == 0) return std::string_view();
    return file.Slice(section.offset, section.size);
  };
  std::string_view names;
  if (names_index < sections.size()) names = contents(sections[names_index]);
  auto name_of = [&](const Section& section) {
    if (section.name >= names.size()) return std::string_view();
    std::string_view rest = names.substr(section.name);
    return rest.substr(0, std::min(rest.find('\0'), rest.size()));
  };

  bool has_code_section = false, has_code_bytes = false;
  for (const Section& section : sections) {
    const std::string_view name = name_of(section);
    if (section.flags & kShfExecInstr) {
      has_code_section = true;
      if (!contents(section).empty()) has_code_bytes = true;
    }
    if (section.type == kShtNote && identity->debug_id.empty()) FindBuildId(contents(section), identity);
    if (name == ".debug_info" && !contents(section).empty()) identity->has_debug_info = true;
    if (name == ".eh_frame" && !contents(section).empty()) identity->has_eh_frame = true;
    if (name == ".gnu_debuglink") ParseDebugLink(contents(section), identity);
  }
  for (std::string_view notes : segment_notes) {
    if (identity->debug_id.empty()) FindBuildId(notes, identity);
  }
  identity->debug_only = has_code_section && !has_code_bytes;
  return true;
}

bool Parse(std::string_view bytes, bool headers_only, ModuleIdentity* identity, std::string* error) {
  *identity = ModuleIdentity();
  const Bytes file(bytes);
  if (bytes.size() >= 4 && bytes.substr(0, 4) == std::string_view("\x7f" "ELF", 4)) {
    return ParseElf(file, headers_only, identity, error);
  }
  if (bytes.size() >= 2 && bytes.substr(0, 2) == "MZ") return ParsePe(file, headers_only, identity, error);
  *error = bytes.empty() ? "the file is empty" : "not a PE or ELF file";
  return false;
}

}  // namespace

bool ParseModuleIdentity(std::string_view bytes, ModuleIdentity* identity, std::string* error) {
  return Parse(bytes, false, identity, error);
}

bool ReadModuleHeaders(const std::string& path, ModuleIdentity* identity, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !in) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  std::string bytes(static_cast<size_t>(std::min<off_t>(info.st_size, kHeaderBytes)), '\0');
  in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return Parse(bytes, true, identity, error);
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read";
    return false;
  }
  *bytes = std::move(buffer).str();
  return true;
}

bool ReadModuleIdentity(const std::string& path, ModuleIdentity* identity, std::string* error) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  return ParseModuleIdentity(bytes, identity, error);
}

uint32_t DebugLinkCrc(std::string_view bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (!bytes.empty()) {
    const uInt chunk = static_cast<uInt>(std::min<size_t>(bytes.size(), 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), chunk);
    bytes.remove_prefix(chunk);
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace collector
