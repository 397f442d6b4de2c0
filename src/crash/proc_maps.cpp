#include "crash/proc_maps.h"

#include <cstring>

namespace Vextra {
namespace {

bool ParseHex(const char*& p, const char* end, uint64_t* value) {
  uint64_t result = 0;
  const char* start = p;
  while (p < end) {
    const char c = *p;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (p - start >= 16) return false;
    result = (result << 4) | static_cast<uint64_t>(digit);
    ++p;
  }
  *value = result;
  return p > start;
}

bool ParseDecimal(const char*& p, const char* end, uint64_t* value) {
  uint64_t result = 0;
  const char* start = p;
  while (p < end && *p >= '0' && *p <= '9') {
    result = result * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  *value = result;
  return p > start;
}

bool Expect(const char*& p, const char* end, char c) {
  if (p >= end || *p != c) return false;
  ++p;
  return true;
}

void SkipSpaces(const char*& p, const char* end) {
  while (p < end && *p == ' ') ++p;
}

bool HasSuffix(const char* text, size_t length, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return length >= n && std::memcmp(text + length - n, suffix, n) == 0;
}

// ELF64 little-endian layouts, read field by field from bytes.
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t U64(const uint8_t* p) { return static_cast<uint64_t>(U32(p)) | (static_cast<uint64_t>(U32(p + 4)) << 32); }

constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kPtNote = 4;
constexpr uint32_t kNtGnuBuildId = 3;
constexpr size_t kElfHeaderBytes = 64;
constexpr size_t kProgramHeaderBytes = 56;
constexpr size_t kMaxProgramHeaders = 64;
constexpr size_t kNoteBufferBytes = 4096;

size_t Align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

}  // namespace

bool ParseMapsLine(const char* line, size_t length, MapsEntry* out) {
  const char* p = line;
  const char* end = line + length;
  MapsEntry entry;
  if (!ParseHex(p, end, &entry.start) || !Expect(p, end, '-') || !ParseHex(p, end, &entry.end)) return false;
  if (entry.end < entry.start || !Expect(p, end, ' ')) return false;
  if (end - p < 4) return false;
  entry.readable = p[0] == 'r';
  entry.writable = p[1] == 'w';
  entry.executable = p[2] == 'x';
  p += 4;
  if (!Expect(p, end, ' ') || !ParseHex(p, end, &entry.offset) || !Expect(p, end, ' ')) return false;
  uint64_t ignored = 0;
  if (!ParseHex(p, end, &ignored) || !Expect(p, end, ':') || !ParseHex(p, end, &ignored)) return false;
  if (!Expect(p, end, ' ') || !ParseDecimal(p, end, &entry.inode)) return false;
  SkipSpaces(p, end);
  entry.path = p;
  entry.path_length = static_cast<size_t>(end - p);
  *out = entry;
  return true;
}

bool IsModuleMapping(const MapsEntry& entry) {
  if (entry.path_length == 0) return false;
  if (entry.path_length == 6 && std::memcmp(entry.path, "[vdso]", 6) == 0) return true;
  if (entry.path[0] != '/' || entry.inode == 0) return false;
  return !HasSuffix(entry.path, entry.path_length, " (deleted)");
}

void LineSplitter::Feed(size_t count, void (*line)(const char*, size_t, void*), void* context) {
  if (count == 0) {
    if (used_ > 0 && !skipping_) line(buffer_, used_, context);
    used_ = 0;
    skipping_ = false;
    return;
  }
  const size_t total = used_ + count;
  size_t start = 0;
  for (size_t i = used_; i < total; ++i) {
    if (buffer_[i] != '\n') continue;
    if (!skipping_) line(buffer_ + start, i - start, context);
    skipping_ = false;
    start = i + 1;
  }
  const size_t rest = total - start;
  if (rest == capacity_) {
    // A line fills the whole buffer: drop what there is and skip to its end.
    skipping_ = true;
    used_ = 0;
    return;
  }
  std::memmove(buffer_, buffer_ + start, rest);
  used_ = rest;
}

size_t FindBuildIdNote(const uint8_t* notes, size_t size, uint8_t (&out)[kMaxBuildIdBytes]) {
  size_t at = 0;
  while (at <= size && size - at >= 12) {
    const uint32_t name_size = U32(notes + at);
    const uint32_t desc_size = U32(notes + at + 4);
    const uint32_t type = U32(notes + at + 8);
    const size_t name_at = at + 12;
    if (name_size > size - name_at) return 0;
    const size_t desc_at = name_at + Align4(name_size);
    if (desc_at > size || desc_size > size - desc_at) return 0;
    if (type == kNtGnuBuildId && name_size == 4 && std::memcmp(notes + name_at, "GNU", 4) == 0) {
      if (desc_size == 0 || desc_size > kMaxBuildIdBytes) return 0;
      std::memcpy(out, notes + desc_at, desc_size);
      return desc_size;
    }
    at = desc_at + Align4(desc_size);
  }
  return 0;
}

size_t ReadElfBuildId(uint64_t base, MemoryReader read, void* context, uint8_t (&out)[kMaxBuildIdBytes]) {
  uint8_t header[kElfHeaderBytes];
  if (read(base, header, sizeof header, context) != sizeof header) return 0;
  if (std::memcmp(header, "\x7f" "ELF", 4) != 0 || header[4] != 2 || header[5] != 1) return 0;
  const uint64_t phoff = U64(header + 32);
  const uint16_t phentsize = U16(header + 54);
  const uint16_t phnum = U16(header + 56);
  if (phentsize != kProgramHeaderBytes || phnum == 0 || phnum > kMaxProgramHeaders) return 0;
  uint8_t headers[kMaxProgramHeaders * kProgramHeaderBytes];
  const size_t headers_size = static_cast<size_t>(phnum) * kProgramHeaderBytes;
  if (read(base + phoff, headers, headers_size, context) != headers_size) return 0;

  // Segment addresses are relative to the first loadable segment's.
  uint64_t load_bias_vaddr = 0;
  for (uint16_t i = 0; i < phnum; ++i) {
    const uint8_t* ph = headers + static_cast<size_t>(i) * kProgramHeaderBytes;
    if (U32(ph) == kPtLoad) {
      load_bias_vaddr = U64(ph + 16) - U64(ph + 8);  // p_vaddr - p_offset of the first load
      break;
    }
  }
  for (uint16_t i = 0; i < phnum; ++i) {
    const uint8_t* ph = headers + static_cast<size_t>(i) * kProgramHeaderBytes;
    if (U32(ph) != kPtNote) continue;
    const uint64_t vaddr = U64(ph + 16);
    uint64_t size = U64(ph + 32);  // p_filesz
    if (size > kNoteBufferBytes) size = kNoteBufferBytes;
    uint8_t notes[kNoteBufferBytes];
    const size_t got = read(base + (vaddr - load_bias_vaddr), notes, static_cast<size_t>(size), context);
    const size_t found = FindBuildIdNote(notes, got, out);
    if (found > 0) return found;
  }
  return 0;
}

}  // namespace Vextra
