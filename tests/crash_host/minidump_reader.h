#pragma once
// Reads the exception stream of a minidump file's bytes: the documented
// layout of a header ("MDMP", version, stream count, directory offset), a
// directory of (type, size, offset) entries, and for type 6 the faulting
// thread's id followed by its exception record.

#include <cstdint>
#include <cstring>
#include <string>

namespace vextra_test {

struct MinidumpException {
  uint32_t thread_id = 0;
  uint32_t code = 0;
  uint64_t address = 0;
};

namespace minidump_detail {
inline bool Read32(const std::string& bytes, size_t offset, uint32_t* value) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return false;
  std::memcpy(value, bytes.data() + offset, 4);
  return true;
}
inline bool Read64(const std::string& bytes, size_t offset, uint64_t* value) {
  if (offset > bytes.size() || bytes.size() - offset < 8) return false;
  std::memcpy(value, bytes.data() + offset, 8);
  return true;
}
}  // namespace minidump_detail

// False with *why set when the bytes are no minidump or hold no exception stream.
inline bool ReadMinidumpException(const std::string& bytes, MinidumpException* out, std::string* why) {
  using minidump_detail::Read32;
  using minidump_detail::Read64;
  constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
  constexpr uint32_t kExceptionStream = 6;
  constexpr size_t kEntrySize = 12;
  uint32_t signature = 0, count = 0, directory = 0;
  if (!Read32(bytes, 0, &signature) || signature != kSignature) {
    *why = "no MDMP signature (" + std::to_string(bytes.size()) + " bytes)";
    return false;
  }
  if (!Read32(bytes, 8, &count) || !Read32(bytes, 12, &directory)) {
    *why = "header cut short";
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = static_cast<size_t>(directory) + i * kEntrySize;
    uint32_t type = 0, size = 0, rva = 0;
    if (!Read32(bytes, entry, &type) || !Read32(bytes, entry + 4, &size) || !Read32(bytes, entry + 8, &rva)) {
      *why = "stream directory cut short";
      return false;
    }
    if (type != kExceptionStream) continue;
    // ThreadId, alignment, then ExceptionCode, ExceptionFlags, ExceptionRecord, ExceptionAddress.
    if (size < 32 || !Read32(bytes, rva, &out->thread_id) || !Read32(bytes, rva + 8, &out->code) ||
        !Read64(bytes, rva + 24, &out->address)) {
      *why = "exception stream cut short";
      return false;
    }
    return true;
  }
  *why = "no exception stream among " + std::to_string(count) + " streams";
  return false;
}

}  // namespace vextra_test
