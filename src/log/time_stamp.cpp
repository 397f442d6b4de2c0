#include "log/time_stamp.h"

#include <cstdio>

#include "platform/local_time.h"

namespace Vextra {

std::string AsctimeText(const std::tm& t) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[(t.tm_wday % 7 + 7) % 7],
                kMonths[(t.tm_mon % 12 + 12) % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                1900 + t.tm_year);
  return text;
}

std::string LogTimeStamp() {
  std::tm local{};
  platform::ToLocalTime(std::time(nullptr), &local);
  return AsctimeText(local) + ":";
}

}  // namespace Vextra
