// The gzip body codec. Outside bytes reach it only as answer bodies, so most
// inputs are inflated within the answer bound. One input in eight (mode bits
// 0-2 all set) is a packet instead, which must compress and inflate back to
// itself: a real deflate costs many times an inflate, so it takes the smaller
// share of the run.
#include "fuzz_target.h"
#include "uploader/body_codec.h"

VEXTRA_FUZZ_TARGET(body_codec) {
  if (size == 0) return 0;
  const bool round_trip = (data[0] & 7) == 7;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (!round_trip) {
    FUZZ_CHECK(Vextra::DecompressBody(rest).size() <= Vextra::kMaxAnswerBytes);
    return 0;
  }
  std::string body;
  FUZZ_CHECK(Vextra::CompressBody(rest, &body));
  if (rest.size() <= Vextra::kMaxAnswerBytes) FUZZ_CHECK(Vextra::DecompressBody(body) == rest);
  return 0;
}
