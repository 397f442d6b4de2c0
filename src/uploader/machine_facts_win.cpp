#include <windows.h>

#include "platform/text_encoding.h"
#include "uploader/machine_facts.h"

namespace Vextra::platform {

bool ReadTimeZone(int32_t* bias_minutes, std::string* standard_name) {
  *bias_minutes = 0;
  standard_name->clear();
  TIME_ZONE_INFORMATION info{};
  if (GetTimeZoneInformation(&info) == TIME_ZONE_ID_INVALID) return false;
  *bias_minutes = static_cast<int32_t>(info.Bias);
  info.StandardName[sizeof info.StandardName / sizeof info.StandardName[0] - 1] = L'\0';
  *standard_name = WideToUtf8(info.StandardName);
  return true;
}

void ReadScreenSize(int32_t* width, int32_t* height) {
  *width = GetSystemMetrics(SM_CXSCREEN);
  *height = GetSystemMetrics(SM_CYSCREEN);
}

}  // namespace Vextra::platform
