// The gzip body codec. Mode bit clear: the rest is an answer body, inflated
// within its bound. Mode bit set: the rest is a packet, which compresses and
// inflates back to itself (the costlier half, so it takes half the inputs).
#include "fuzz_target.h"
#include "uploader/body_codec.h"

VEXTRA_FUZZ_TARGET(body_codec) {
  vextra_fuzz::Input input = vextra_fuzz::SplitModeByte(data, size);
  if (!input.shaped) {
    FUZZ_CHECK(Vextra::DecompressBody(input.rest).size() <= Vextra::kMaxAnswerBytes);
    return 0;
  }
  std::string body;
  FUZZ_CHECK(Vextra::CompressBody(input.rest, &body));
  if (input.rest.size() <= Vextra::kMaxAnswerBytes) FUZZ_CHECK(Vextra::DecompressBody(body) == input.rest);
  return 0;
}
