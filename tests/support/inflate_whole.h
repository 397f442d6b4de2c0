#pragma once
// Test helper: a zlib stream (window bits 15) or a gzip member (16 + 15)
// inflated whole, for checking what the library compressed.

#include <zlib.h>

#include <string>

namespace vextra_test {

// *ok is true only when the bytes are exactly one complete stream.
inline std::string InflateWhole(const std::string& bytes, int window_bits, bool* ok) {
  z_stream z{};
  *ok = false;
  if (inflateInit2(&z, window_bits) != Z_OK) return {};
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  std::string out;
  int result = Z_OK;
  char chunk[65536];
  while (result == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    result = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
  }
  *ok = result == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return out;
}

inline std::string InflateZlib(const std::string& bytes, bool* ok) { return InflateWhole(bytes, MAX_WBITS, ok); }
inline std::string Gunzip(const std::string& bytes, bool* ok) { return InflateWhole(bytes, 16 + MAX_WBITS, ok); }

}  // namespace vextra_test
