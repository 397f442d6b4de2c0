#pragma once
// zlib helpers of the collector: request bodies and answers are gzip streams,
// ".zip" attachments are zlib streams.

#include <cstddef>
#include <string>

namespace collector {

// Inflated output beyond this many bytes counts as a failure (a decompression bomb).
constexpr size_t kMaxInflatedBytes = 256u * 1024 * 1024;

// One complete gzip stream to its bytes. False when the input is not a whole
// gzip stream or inflates beyond limit; *out is then unspecified.
bool Gunzip(const std::string& input, std::string* out, size_t limit = kMaxInflatedBytes);

// One complete zlib stream (RFC 1950) to its bytes, with the same rules.
bool ZlibInflate(const std::string& input, std::string* out, size_t limit = kMaxInflatedBytes);

// input as one gzip stream.
std::string Gzip(const std::string& input);

}  // namespace collector
