#include <ctime>
#include <mutex>

#include "uploader/machine_facts.h"

namespace Vextra::platform {

bool ReadTimeZone(int32_t* bias_minutes, std::string* standard_name) {
  // tzset fills the process-wide timezone and tzname; one reader at a time.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  tzset();
  // timezone: seconds west of UTC for standard time, the sign of the bias.
  *bias_minutes = static_cast<int32_t>(timezone / 60);
  *standard_name = tzname[0] != nullptr ? tzname[0] : "";
  return true;
}

// A server process has no screen to report.
void ReadScreenSize(int32_t* width, int32_t* height) {
  *width = 0;
  *height = 0;
}

}  // namespace Vextra::platform
