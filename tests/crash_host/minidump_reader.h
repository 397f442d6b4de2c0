#pragma once
// Reads the exception stream and the thread list of a minidump file's bytes:
// the documented layout of a header ("MDMP", version, stream count, directory
// offset), a directory of (type, size, offset) entries, for type 6 the
// faulting thread's id, its exception record and its context, for type 3 the
// threads with their stack memory and context (x86-64 registers).

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vextra_test {

struct MinidumpException {
  uint32_t thread_id = 0;
  uint32_t code = 0;
  uint64_t address = 0;
  uint64_t rsp = 0;  // from the exception's context
  uint64_t rip = 0;
};

struct MinidumpThread {
  uint32_t thread_id = 0;
  uint64_t stack_start = 0;  // the stack memory recorded with the thread
  uint32_t stack_size = 0;
  uint32_t stack_rva = 0;    // where its bytes are in the file
  uint64_t rsp = 0;          // from the thread's context
  uint64_t rip = 0;
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
// Rsp and Rip of an x86-64 CONTEXT at rva of size bytes.
constexpr size_t kContextRsp = 0x98;
constexpr size_t kContextRip = 0xF8;
inline bool ReadContext(const std::string& bytes, uint32_t size, uint32_t rva, uint64_t* rsp, uint64_t* rip) {
  return size >= kContextRip + 8 && Read64(bytes, size_t{rva} + kContextRsp, rsp) &&
         Read64(bytes, size_t{rva} + kContextRip, rip);
}
// The (offset, size) of the first stream of type, false when there is none.
inline bool FindStream(const std::string& bytes, uint32_t wanted, uint32_t* rva, uint32_t* size, std::string* why) {
  constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
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
    uint32_t type = 0;
    if (!Read32(bytes, entry, &type) || !Read32(bytes, entry + 4, size) || !Read32(bytes, entry + 8, rva)) {
      *why = "stream directory cut short";
      return false;
    }
    if (type == wanted) return true;
  }
  *why = "no stream of type " + std::to_string(wanted) + " among " + std::to_string(count) + " streams";
  return false;
}
}  // namespace minidump_detail

// False with *why set when the bytes are no minidump or hold no exception stream.
inline bool ReadMinidumpException(const std::string& bytes, MinidumpException* out, std::string* why) {
  using namespace minidump_detail;
  constexpr uint32_t kExceptionStream = 6;
  uint32_t rva = 0, size = 0;
  if (!FindStream(bytes, kExceptionStream, &rva, &size, why)) return false;
  // ThreadId, alignment, then ExceptionCode, ExceptionFlags, ExceptionRecord,
  // ExceptionAddress, the parameters, and at 160 the context's location.
  uint32_t context_size = 0, context_rva = 0;
  if (size < 168 || !Read32(bytes, rva, &out->thread_id) || !Read32(bytes, rva + 8, &out->code) ||
      !Read64(bytes, rva + 24, &out->address) || !Read32(bytes, rva + 160, &context_size) ||
      !Read32(bytes, rva + 164, &context_rva)) {
    *why = "exception stream cut short";
    return false;
  }
  if (!ReadContext(bytes, context_size, context_rva, &out->rsp, &out->rip)) {
    *why = "the exception's context is cut short";
    return false;
  }
  return true;
}

// The thread list; false with *why set when there is none or it is cut short.
inline bool ReadMinidumpThreads(const std::string& bytes, std::vector<MinidumpThread>* out, std::string* why) {
  using namespace minidump_detail;
  constexpr uint32_t kThreadListStream = 3;
  constexpr size_t kThreadSize = 48;
  uint32_t rva = 0, size = 0, count = 0;
  if (!FindStream(bytes, kThreadListStream, &rva, &size, why)) return false;
  if (!Read32(bytes, rva, &count) || size != 4 + size_t{count} * kThreadSize) {
    *why = "the thread list's size " + std::to_string(size) + " does not match its " + std::to_string(count) +
           " threads";
    return false;
  }
  out->clear();
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = size_t{rva} + 4 + i * kThreadSize;
    MinidumpThread thread;
    uint32_t context_size = 0, context_rva = 0;
    if (!Read32(bytes, at, &thread.thread_id) || !Read64(bytes, at + 24, &thread.stack_start) ||
        !Read32(bytes, at + 32, &thread.stack_size) || !Read32(bytes, at + 36, &thread.stack_rva) ||
        !Read32(bytes, at + 40, &context_size) || !Read32(bytes, at + 44, &context_rva) ||
        !ReadContext(bytes, context_size, context_rva, &thread.rsp, &thread.rip)) {
      *why = "thread " + std::to_string(i) + " cut short";
      return false;
    }
    out->push_back(thread);
  }
  return true;
}

}  // namespace vextra_test
