// The collector's request decoder: any request body a client may send.
// Mode bit clear: the rest is the body as received. Mode bit set: the rest is
// the packet, wrapped here in gzip, so the fuzzer reaches the protobuf reading
// and the attachments.
#include "collector/request_decoder.h"
#include "fuzz_target.h"

VEXTRA_FUZZ_TARGET(request_decoder) {
  vextra_fuzz::Input input = vextra_fuzz::SplitModeByte(data, size);
  std::string body = input.shaped ? vextra_fuzz::GzipStored(input.rest) : input.rest;
  collector::DecodedRequest request = collector::DecodeRequestBody(body);
  FUZZ_CHECK(request.decoded == request.error.empty());
  if (!request.decoded) return 0;
  for (const collector::DecodedReport& report : request.reports) {
    for (const collector::DecodedAttachment& attachment : report.attachments) {
      if (collector::IsZlibAttachmentName(attachment.fileName)) {
        FUZZ_CHECK(attachment.inflated == attachment.error.empty());
      } else {
        FUZZ_CHECK(!attachment.inflated && attachment.error.empty() && attachment.content == attachment.data);
      }
    }
  }
  return 0;
}
