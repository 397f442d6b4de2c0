#include "collector/request_summary.h"

#include <algorithm>

namespace collector {

std::string FormatRequestSummary(const DecodedRequest& decoded, size_t bodySize, const std::string& answerText,
                                 const std::vector<std::string>& repeated) {
  std::string line = "cmd=" + (decoded.packet.has_request() ? std::to_string(decoded.cmd) : std::string("?"));
  if (!decoded.decoded) {
    line += " error='" + decoded.error + "'";
  } else if (decoded.hasReports) {
    if (decoded.reports.empty()) {
      line += " reports=0";
    }
    for (const DecodedReport& report : decoded.reports) {
      line += " type=" + report.upload.type() + " expuid=" + report.upload.expuid();
      if (std::find(repeated.begin(), repeated.end(), report.upload.expuid()) != repeated.end()) line += " repeat";
    }
  } else if (decoded.hasUserInfo) {
    line += " session=" + decoded.packet.request().sessionid();
  }
  line += " body=" + std::to_string(bodySize) + " answer=" + answerText;
  return line;
}

}  // namespace collector
