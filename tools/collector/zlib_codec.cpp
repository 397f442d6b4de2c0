#include "collector/zlib_codec.h"

#include <zlib.h>

#include <stdexcept>

namespace collector {
namespace {

bool InflateStream(const std::string& input, int windowBits, std::string* out, size_t limit) {
  out->clear();
  z_stream stream{};
  if (inflateInit2(&stream, windowBits) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  if (input.size() > 0xFFFFFFFFu) {
    inflateEnd(&stream);
    return false;
  }

  char chunk[64 * 1024];
  int rc = Z_OK;
  while (rc == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof(chunk);
    rc = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = sizeof(chunk) - stream.avail_out;
    if (out->size() + produced > limit) {
      rc = Z_MEM_ERROR;
      break;
    }
    out->append(chunk, produced);
    // No progress with input left means a truncated stream.
    if (rc == Z_BUF_ERROR || (rc == Z_OK && stream.avail_in == 0 && produced < sizeof(chunk))) break;
  }
  inflateEnd(&stream);
  // Trailing bytes after the stream's end are not part of a well-formed body.
  return rc == Z_STREAM_END && stream.avail_in == 0;
}

}  // namespace

bool Gunzip(const std::string& input, std::string* out, size_t limit) {
  return InflateStream(input, 15 + 16, out, limit);
}

bool ZlibInflate(const std::string& input, std::string* out, size_t limit) {
  return InflateStream(input, 15, out, limit);
}

std::string Gzip(const std::string& input) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(input.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

}  // namespace collector
