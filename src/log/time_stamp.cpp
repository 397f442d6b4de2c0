#include "log/time_stamp.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/local_time.h"

namespace Vextra {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

int64_t SecondsOfCalendar(const std::tm& t) {
  return DaysFromCivil(1900 + static_cast<int64_t>(t.tm_year), t.tm_mon + 1, t.tm_mday) * 86400 +
         t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

// The calendar fields of seconds counted from 1970-01-01 00:00 in one zone.
void CalendarOfSeconds(int64_t seconds, std::tm* out) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2);
  std::tm t{};
  t.tm_year = static_cast<int>(year - 1900);
  t.tm_mon = static_cast<int>(month - 1);
  t.tm_mday = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  t.tm_hour = static_cast<int>(rest / 3600);
  t.tm_min = static_cast<int>(rest / 60 % 60);
  t.tm_sec = static_cast<int>(rest % 60);
  t.tm_wday = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  t.tm_yday = static_cast<int>(days - DaysFromCivil(year, 1, 1));
  t.tm_isdst = -1;
  *out = t;
}

constexpr int64_t kNever = std::numeric_limits<int64_t>::min();

// The zone offset (local minus UTC, in seconds) and the second it was learned
// for. The two words may come from different refreshes; each offset is valid.
std::atomic<int64_t> g_offset_second{kNever};
std::atomic<int64_t> g_offset{0};
std::atomic<bool> g_refreshing{false};

void PutDigits(char* out, unsigned value, int width, char pad) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
    if (value == 0 && pad != '0') {
      for (int j = i - 1; j >= 0; --j) out[j] = pad;
      return;
    }
  }
}

}  // namespace

void FormatAsctime(const std::tm& t, char* out) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // "Www Mmm dd hh:mm:ss yyyy": fields are reduced into their ranges so the
  // text always keeps its 24 characters.
  std::memcpy(out, kDays[(t.tm_wday % 7 + 7) % 7], 3);
  out[3] = ' ';
  std::memcpy(out + 4, kMonths[(t.tm_mon % 12 + 12) % 12], 3);
  out[7] = ' ';
  PutDigits(out + 8, static_cast<unsigned>(t.tm_mday) % 100, 2, ' ');
  out[10] = ' ';
  PutDigits(out + 11, static_cast<unsigned>(t.tm_hour) % 100, 2, '0');
  out[13] = ':';
  PutDigits(out + 14, static_cast<unsigned>(t.tm_min) % 100, 2, '0');
  out[16] = ':';
  PutDigits(out + 17, static_cast<unsigned>(t.tm_sec) % 100, 2, '0');
  out[19] = ' ';
  PutDigits(out + 20, static_cast<unsigned>(1900 + t.tm_year) % 10000, 4, '0');
  out[kAsctimeChars] = '\0';
}

void LocalCalendarTime(std::time_t now, std::tm* out) {
  const int64_t second = static_cast<int64_t>(now);
  const int64_t learned = g_offset_second.load(std::memory_order_acquire);
  if (learned != second && !g_refreshing.exchange(true, std::memory_order_acquire)) {
    std::tm local{};
    const bool converted = platform::ToLocalTime(now, &local);
    if (converted) {
      g_offset.store(SecondsOfCalendar(local) - second, std::memory_order_relaxed);
      g_offset_second.store(second, std::memory_order_release);
    }
    g_refreshing.store(false, std::memory_order_release);
    if (converted) {
      *out = local;
      return;
    }
  } else if (learned == kNever) {
    // Another thread is learning the first offset; nothing to reuse yet.
    std::tm local{};
    if (platform::ToLocalTime(now, &local)) {
      *out = local;
      return;
    }
  }
  CalendarOfSeconds(second + g_offset.load(std::memory_order_relaxed), out);
}

void WriteLogTimeStamp(char (&out)[kLogTimeStampBytes]) {
  std::tm local{};
  LocalCalendarTime(WallClockSeconds(), &local);
  FormatAsctime(local, out);
  out[kAsctimeChars] = ':';
  out[kAsctimeChars + 1] = '\0';
}

}  // namespace Vextra
