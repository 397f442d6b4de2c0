#include "uploader/envelope_facts.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "core/common_info.h"
#include "uploader/machine_facts.h"

namespace Vextra {

EnvelopeFacts ReadEnvelopeFacts() {
  EnvelopeFacts facts;
  CommonInfo::Instance().GetMemoryStatus(&facts.phyMemAll, &facts.phyMemUsed, &facts.usedProcMem);
  platform::ReadScreenSize(&facts.screenWidth, &facts.screenHeight);
  platform::ReadTimeZone(&facts.timeZoneBiasMinutes, &facts.timeZoneName);
  facts.uploadTime = static_cast<int64_t>(std::time(nullptr));
  return facts;
}

int32_t TimeZoneSeconds(int32_t bias_minutes) {
  const int64_t seconds = static_cast<int64_t>(bias_minutes) * 60;
  if (seconds > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (seconds < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(seconds);
}

std::string TimeZoneAbbreviation(int32_t seconds) { return "GMT" + std::to_string(seconds / 3600); }

std::string FormatResolution(int32_t width, int32_t height) {
  char text[32];
  std::snprintf(text, sizeof text, "%d*%d", static_cast<int>(width), static_cast<int>(height));
  return text;
}

}  // namespace Vextra
