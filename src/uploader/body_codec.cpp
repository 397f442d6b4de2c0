#include "uploader/body_codec.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

namespace Vextra {
namespace {

constexpr int kGzipWindowBits = 31;  // 32 KiB window, gzip wrapper only
constexpr int kMemoryLevel = 9;

}  // namespace

uint32_t CompressBodyBound(uint32_t n) { return n + (n >> 12) + (n >> 14) + (n >> 25) + 13; }

bool CompressBody(const std::string& packet, std::string* body) {
  body->clear();
  if (packet.size() > std::numeric_limits<uint32_t>::max()) return false;
  const auto n = static_cast<uint32_t>(packet.size());
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  // The formula alone leaves less room than the gzip wrapper and stored blocks
  // need: incompressible input below about 125 KB would not fit it.
  const uint32_t formula = CompressBodyBound(n);
  const uLong zlib_bound = deflateBound(&stream, n);
  if (formula < n || zlib_bound < n || zlib_bound > std::numeric_limits<uint32_t>::max()) {
    deflateEnd(&stream);  // a bound wrapped around
    return false;
  }
  const uint32_t bound = std::max(formula, static_cast<uint32_t>(zlib_bound));
  std::vector<unsigned char> out;
  try {
    out.resize(bound);
  } catch (const std::bad_alloc&) {
    deflateEnd(&stream);
    return false;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packet.data()));
  stream.avail_in = n;
  stream.next_out = out.data();
  stream.avail_out = bound;
  const int result = deflate(&stream, Z_FINISH);
  const uLong written = stream.total_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return false;
  body->assign(reinterpret_cast<const char*>(out.data()), written);
  return true;
}

std::string DecompressBody(const std::string& body) {
  std::vector<unsigned char> out(kMaxAnswerBytes);
  z_stream stream{};
  // Return codes are not looked at: whatever inflated is the answer.
  inflateInit2(&stream, kGzipWindowBits);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = body.size() > std::numeric_limits<uInt>::max() ? std::numeric_limits<uInt>::max()
                                                                   : static_cast<uInt>(body.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  inflate(&stream, Z_SYNC_FLUSH);
  const uLong produced = stream.total_out;
  inflateEnd(&stream);
  return std::string(reinterpret_cast<const char*>(out.data()), produced);
}

}  // namespace Vextra
