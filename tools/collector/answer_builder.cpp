#include "collector/answer_builder.h"

#include "VextraPkg.pb.h"
#include "collector/request_decoder.h"
#include "collector/zlib_codec.h"

namespace collector {

Answer BuildAnswer(const CollectorOptions& options, int cmd) {
  Answer answer;
  answer.drop = options.drop;
  answer.delayMs = options.delayMs;
  answer.httpStatus = options.httpStatus;
  answer.gzipEncodingHeader = options.gzipEncodingHeader;

  VextraPkg::UniPacket packet;
  packet.set_encodename("utf-8");
  packet.set_irequestid(1);
  packet.set_sservantname("KplServer");
  packet.set_sfuncname("sync");
  VextraPkg::ResponsePkg* response = packet.mutable_response();
  response->set_cmd(cmd);
  response->set_status(options.statusText);
  if (cmd == kCmdUserInfo) {
    VextraPkg::KplStrategy strategy;
    strategy.set_enable(true);
    for (const auto& entry : options.strategy) (*strategy.mutable_valuemap())[entry.first] = entry.second;
    response->set_sbuffer(strategy.SerializeAsString());
  }
  const std::string packetBytes = packet.SerializeAsString();
  answer.body = options.plainBody ? packetBytes : Gzip(packetBytes);
  answer.bodyBytes = options.answerBytes;
  return answer;
}

std::string AnswerBodyBytes(const Answer& answer, size_t offset, size_t size) {
  std::string bytes(size, '\0');
  if (offset < answer.body.size()) answer.body.copy(&bytes[0], size, offset);
  return bytes;
}

std::string DescribeAnswer(const Answer& answer, const CollectorOptions& options) {
  if (answer.drop) return "dropped";
  std::string text = std::to_string(answer.httpStatus) + (options.plainBody ? " plain" : " gzip");
  if (answer.gzipEncodingHeader) text += " +content-encoding";
  if (!options.statusText.empty()) text += " status='" + options.statusText + "'";
  if (answer.delayMs > 0) text += " after " + std::to_string(answer.delayMs) + "ms";
  if (answer.bodyBytes >= 0) text += " " + std::to_string(answer.bodyBytes) + " bytes";
  return text;
}

}  // namespace collector
