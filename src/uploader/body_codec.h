#pragma once
// Request and answer bodies: one gzip stream each, made and read in memory in
// one piece. Safe on any thread; no state is shared between calls.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vextra {

// Largest answer body DecompressBody returns; longer answers are cut there.
constexpr size_t kMaxAnswerBytes = 102400;

// Output capacity for an input of n bytes: n + n/4096 + n/16384 + n/2^25 + 13,
// in 32-bit unsigned arithmetic.
uint32_t CompressBodyBound(uint32_t n);

// Compresses a serialized packet into one gzip stream (default level, 32 KiB
// window, memory level 9) in a single deflate call. The output capacity is the
// larger of CompressBodyBound and zlib's own bound for these settings, so that
// small or already compressed packets (a dump, compressed logs) fit as well.
// True with the stream in *body; false with *body empty when zlib fails.
bool CompressBody(const std::string& packet, std::string* body);

// Inflates the start of a gzip answer body with one inflate call into at most
// kMaxAnswerBytes. A body that is not gzip yields the empty text; a damaged
// one yields what inflated before the damage.
std::string DecompressBody(const std::string& body);

}  // namespace Vextra
