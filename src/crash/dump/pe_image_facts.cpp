#include "crash/dump/pe_image_facts.h"

#include <cstring>

namespace Vextra {
namespace {

constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kCodeViewSignature = 0x53445352;  // "RSDS"
constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
// Offsets inside the optional header of a PE32+ image.
constexpr uint32_t kOptionalSizeOfImage = 56;
constexpr uint32_t kOptionalCheckSum = 64;
constexpr uint32_t kOptionalDirectoryCount = 108;
constexpr uint32_t kOptionalDirectories = 112;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kDebugDirectory = 6;
constexpr uint32_t kDebugEntryBytes = 28;
// Debug entries looked at, and resource entries of one level.
constexpr uint32_t kMaxDebugEntries = 32;
constexpr uint32_t kMaxResourceEntries = 512;

struct Image {
  uint64_t base;
  ImageReader read;
  void* context;

  bool Bytes(uint64_t rva, void* out, size_t size) const { return read(base + rva, out, size, context) == size; }
  bool U16(uint64_t rva, uint16_t* value) const { return Bytes(rva, value, 2); }
  bool U32(uint64_t rva, uint32_t* value) const { return Bytes(rva, value, 4); }
};

// The CodeView record named by the debug directory, copied whole into out.
uint32_t ReadCodeView(const Image& image, uint32_t directory_rva, uint32_t directory_size, uint8_t* out,
                      uint32_t capacity) {
  const uint32_t entries = directory_size / kDebugEntryBytes;
  for (uint32_t i = 0; i < entries && i < kMaxDebugEntries; ++i) {
    const uint32_t entry = directory_rva + i * kDebugEntryBytes;
    uint32_t type = 0, size = 0, rva = 0;
    if (!image.U32(entry + 12, &type) || !image.U32(entry + 16, &size) || !image.U32(entry + 20, &rva)) return 0;
    if (type != kDebugTypeCodeView || rva == 0) continue;
    if (size <= kCodeViewFixedBytes || size > capacity) return 0;
    uint32_t signature = 0;
    if (!image.U32(rva, &signature) || signature != kCodeViewSignature) continue;
    if (!image.Bytes(rva, out, size)) return 0;
    // The PDB name must end inside the record.
    if (std::memchr(out + kCodeViewFixedBytes, 0, size - kCodeViewFixedBytes) == nullptr) return 0;
    return size;
  }
  return 0;
}

// One entry of a resource directory level: the subdirectory (or data entry)
// offset of the entry with id, or of the first entry when id is 0.
bool FindResourceEntry(const Image& image, uint32_t section_rva, uint32_t directory_offset, uint32_t id,
                       uint32_t* offset, bool* is_directory) {
  uint16_t named = 0, ids = 0;
  const uint32_t directory = section_rva + directory_offset;
  if (!image.U16(directory + 12, &named) || !image.U16(directory + 14, &ids)) {
    return false;
  }
  const uint32_t total = uint32_t{named} + ids;
  for (uint32_t i = (id != 0 ? named : 0); i < total && i < kMaxResourceEntries; ++i) {
    const uint32_t entry = directory + 16 + i * 8;
    uint32_t name = 0, target = 0;
    if (!image.U32(entry, &name) || !image.U32(entry + 4, &target)) return false;
    if (id != 0 && name != id) continue;
    *is_directory = (target & 0x80000000u) != 0;
    *offset = target & 0x7FFFFFFFu;
    return true;
  }
  return false;
}

// VS_VERSIONINFO's fixed part: type RT_VERSION, first name, first language.
void ReadVersion(const Image& image, uint32_t section_rva, PeImageFacts* facts) {
  uint32_t offset = 0;
  bool directory = false;
  if (!FindResourceEntry(image, section_rva, 0, kResourceTypeVersion, &offset, &directory) || !directory) return;
  if (!FindResourceEntry(image, section_rva, offset, 0, &offset, &directory) || !directory) return;
  if (!FindResourceEntry(image, section_rva, offset, 0, &offset, &directory) || directory) return;
  uint32_t data_rva = 0, data_size = 0;
  if (!image.U32(section_rva + offset, &data_rva) || !image.U32(section_rva + offset + 4, &data_size)) return;
  // wLength, wValueLength, wType, L"VS_VERSION_INFO" and its NUL, padded to
  // four bytes: the fixed part starts 40 bytes in.
  constexpr uint32_t kFixedAt = 40;
  uint32_t fixed[6] = {};
  if (data_size < kFixedAt + sizeof fixed || !image.Bytes(data_rva + kFixedAt, fixed, sizeof fixed)) return;
  if (fixed[0] != kFixedFileInfoSignature) return;
  facts->file_version_ms = fixed[2];
  facts->file_version_ls = fixed[3];
  facts->product_version_ms = fixed[4];
  facts->product_version_ls = fixed[5];
}

}  // namespace

bool ReadPeImageFacts(uint64_t base, ImageReader read, void* context, uint8_t* codeview, uint32_t codeview_capacity,
                      PeImageFacts* facts) {
  *facts = PeImageFacts();
  const Image image{base, read, context};
  uint16_t dos_magic = 0;
  uint32_t nt = 0, signature = 0;
  if (!image.U16(0, &dos_magic) || dos_magic != kDosMagic || !image.U32(0x3C, &nt)) return false;
  if (!image.U32(nt, &signature) || signature != kPeSignature) return false;
  const uint32_t optional = nt + 24;
  uint16_t magic = 0;
  if (!image.U16(optional, &magic) || magic != kPe32PlusMagic) return false;
  if (!image.U32(nt + 8, &facts->time_date_stamp) ||
      !image.U32(optional + kOptionalSizeOfImage, &facts->size_of_image) ||
      !image.U32(optional + kOptionalCheckSum, &facts->checksum)) {
    return false;
  }
  uint32_t directories = 0;
  if (!image.U32(optional + kOptionalDirectoryCount, &directories)) return true;
  auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
    return index < directories && image.U32(optional + kOptionalDirectories + index * 8, rva) &&
           image.U32(optional + kOptionalDirectories + index * 8 + 4, size) && *rva != 0 && *size != 0;
  };
  uint32_t rva = 0, size = 0;
  if (codeview != nullptr && directory(kDebugDirectory, &rva, &size)) {
    facts->codeview_size = ReadCodeView(image, rva, size, codeview, codeview_capacity);
  }
  if (directory(kResourceDirectory, &rva, &size)) ReadVersion(image, rva, facts);
  return true;
}

}  // namespace Vextra
