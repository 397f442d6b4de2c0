#pragma once
// One fuzz target per file: VEXTRA_FUZZ_TARGET(name) { ... } is the body that
// takes one input. Built as a libFuzzer program it is LLVMFuzzerTestOneInput;
// built into the regression test (VEXTRA_FUZZ_REPLAY) it registers under name,
// so every stored input is fed to exactly the code the fuzzer ran.
// FUZZ_CHECK states what must hold for any input; a failure aborts the fuzzer
// (and keeps the input) or fails the regression test.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include <zlib.h>

namespace vextra_fuzz {

using Entry = int (*)(const uint8_t* data, size_t size);

// Records a target for the regression test; returns true.
bool Register(const char* name, Entry entry);
// Called when a FUZZ_CHECK fails.
void CheckFailed(const char* condition, const char* file, int line);

// The input as bytes, and whether its first byte selects the second shape of
// the input (bit 0 set); the rest follows that byte.
struct Input {
  bool shaped = false;
  std::string rest;
};
inline Input SplitModeByte(const uint8_t* data, size_t size) {
  Input input;
  if (size == 0) return input;
  input.shaped = (data[0] & 1) != 0;
  input.rest.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  return input;
}

// data as one gzip stream of stored (uncompressed) blocks: valid for every
// reader, and cheap enough to run on each input, unlike a real deflate.
inline std::string GzipStored(const std::string& data) {
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  size_t offset = 0;
  do {
    size_t length = std::min<size_t>(data.size() - offset, 0xFFFF);
    bool last = offset + length == data.size();
    out += static_cast<char>(last ? 1 : 0);
    for (unsigned value : {static_cast<unsigned>(length), static_cast<unsigned>(~length & 0xFFFF)}) {
      out += static_cast<char>(value & 0xFF);
      out += static_cast<char>(value >> 8);
    }
    out.append(data, offset, length);
    offset += length;
  } while (offset < data.size());
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
  for (uLong value : {crc, static_cast<uLong>(data.size())}) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
  }
  return out;
}

}  // namespace vextra_fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::vextra_fuzz::CheckFailed(#condition, __FILE__, __LINE__))

#ifdef VEXTRA_FUZZ_REPLAY
#define VEXTRA_FUZZ_TARGET(name)                                                              \
  int VextraFuzz_##name(const uint8_t* data, size_t size);                                   \
  static const bool vextra_fuzz_registered_##name = ::vextra_fuzz::Register(#name, VextraFuzz_##name); \
  int VextraFuzz_##name(const uint8_t* data, size_t size)
#else
#define VEXTRA_FUZZ_TARGET(name) extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#endif
