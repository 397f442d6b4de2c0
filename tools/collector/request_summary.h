#pragma once
// The one line the collector prints per request.

#include <cstddef>
#include <string>
#include <vector>

#include "collector/request_decoder.h"

namespace collector {

// "cmd=830 type=101 expuid=<id> body=<bytes> answer=<answer>" for reports,
// "cmd=840 session=<id> body=<bytes> answer=<answer>" for user information,
// "cmd=<n or ?> error='<why>' body=<bytes> answer=<answer>" for what could not
// be decoded. No line end. A report whose expuid is in repeated was stored
// before and is marked "repeat".
std::string FormatRequestSummary(const DecodedRequest& decoded, size_t bodySize, const std::string& answerText,
                                 const std::vector<std::string>& repeated = {});

}  // namespace collector
