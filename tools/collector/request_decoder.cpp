#include "collector/request_decoder.h"

#include "collector/zlib_codec.h"

namespace collector {

bool IsZlibAttachmentName(const std::string& fileName) {
  static const std::string kSuffix = ".zip";
  return fileName.size() >= kSuffix.size() &&
         fileName.compare(fileName.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

namespace {

DecodedAttachment DecodeAttachment(const VextraPkg::Attachment& attachment) {
  DecodedAttachment decoded;
  decoded.type = attachment.type();
  decoded.fileName = attachment.filename();
  decoded.data = attachment.data();
  if (!IsZlibAttachmentName(decoded.fileName)) {
    decoded.content = decoded.data;
    return decoded;
  }
  if (ZlibInflate(decoded.data, &decoded.content)) {
    decoded.inflated = true;
  } else {
    decoded.content.clear();
    decoded.error = "attachment is not a zlib stream";
  }
  return decoded;
}

}  // namespace

DecodedRequest DecodeRequestBody(const std::string& body) {
  DecodedRequest request;
  if (body.empty()) {
    request.error = "empty body";
    return request;
  }
  std::string packetBytes;
  if (!Gunzip(body, &packetBytes)) {
    request.error = "body is not a gzip stream";
    return request;
  }
  if (!request.packet.ParseFromString(packetBytes)) {
    request.error = "body is not a UniPacket";
    return request;
  }
  if (!request.packet.has_request()) {
    request.error = "UniPacket has no request";
    return request;
  }
  const VextraPkg::RequestPkg& envelope = request.packet.request();
  request.cmd = envelope.cmd();

  if (request.cmd == kCmdReport) {
    VextraPkg::ExceptionUploadPackage package;
    if (!package.ParseFromString(envelope.sbuffer())) {
      request.error = "sBuffer is not an ExceptionUploadPackage";
      return request;
    }
    request.hasReports = true;
    for (const VextraPkg::ExceptionUpload& upload : package.list()) {
      DecodedReport report;
      report.upload = upload;
      for (const VextraPkg::Attachment& attachment : upload.attaches()) {
        report.attachments.push_back(DecodeAttachment(attachment));
      }
      request.reports.push_back(std::move(report));
    }
  } else if (request.cmd == kCmdUserInfo) {
    if (!request.userInfo.ParseFromString(envelope.sbuffer())) {
      request.error = "sBuffer is not a UserInfoPackage";
      return request;
    }
    request.hasUserInfo = true;
  } else {
    request.error = "unknown cmd " + std::to_string(request.cmd);
    return request;
  }
  request.decoded = true;
  return request;
}

}  // namespace collector
