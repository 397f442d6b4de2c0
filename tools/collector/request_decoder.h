#pragma once
// Decoding of one request body: gzip, then UniPacket, then the inner message
// that the envelope's cmd names (830: ExceptionUploadPackage, 840: UserInfoPackage).

#include <string>
#include <vector>

#include "VextraPkg.pb.h"

namespace collector {

constexpr int kCmdReport = 830;
constexpr int kCmdUserInfo = 840;

// One attachment with its content as stored: ".zip" attachments are zlib
// streams and are inflated; others are kept as they came.
struct DecodedAttachment {
  int type = 0;
  std::string fileName;
  std::string data;      // bytes as received
  bool inflated = false;  // content holds the inflated bytes of a ".zip" attachment
  std::string content;   // inflated bytes, or data when not a ".zip" attachment
  std::string error;     // why a ".zip" attachment could not be inflated
};

struct DecodedReport {
  VextraPkg::ExceptionUpload upload;
  std::vector<DecodedAttachment> attachments;
};

struct DecodedRequest {
  bool decoded = false;  // the envelope was read; error is empty
  std::string error;     // first step that failed, for the record
  VextraPkg::UniPacket packet;
  int cmd = 0;  // the envelope's cmd (0 when the envelope could not be read)
  bool hasReports = false;
  std::vector<DecodedReport> reports;  // cmd 830
  bool hasUserInfo = false;
  VextraPkg::UserInfoPackage userInfo;  // cmd 840
};

// Never throws on bad input: what could not be decoded is named in error.
DecodedRequest DecodeRequestBody(const std::string& body);

// True when the name ends in ".zip" (compared as bytes).
bool IsZlibAttachmentName(const std::string& fileName);

}  // namespace collector
