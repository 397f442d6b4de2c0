#pragma once
// The moment-of-filling facts of an envelope (memory, screen, time zone, clock)
// and the rules that turn them into envelope texts.

#include <cstdint>
#include <string>

namespace Vextra {

struct EnvelopeFacts {
  int32_t phyMemAll = 1;    // MiB; 1 when the query failed
  int32_t phyMemUsed = 1;   // MiB; 1 when the query failed
  int32_t usedProcMem = 1;  // MiB; 1 when the query failed
  int32_t screenWidth = 0;  // pixels; 0 when unknown
  int32_t screenHeight = 0;
  int32_t timeZoneBiasMinutes = 0;  // negative east of UTC
  std::string timeZoneName;         // UTF-8 standard name
  int64_t uploadTime = 0;  // seconds since 1970-01-01 UTC
};

// Reads every fact now: memory through the settings store's system
// information, the rest from the platform. Any thread.
EnvelopeFacts ReadEnvelopeFacts();

// Bias in minutes times 60 (UTC+8 gives -28800), held to the 32-bit range.
int32_t TimeZoneSeconds(int32_t bias_minutes);
// "GMT" and the whole hours of the seconds, truncated toward zero, without a
// plus sign: -19800 gives "GMT-5", 0 "GMT0", 18000 "GMT5".
std::string TimeZoneAbbreviation(int32_t seconds);
// "%d*%d" of width and height, at most 31 characters.
std::string FormatResolution(int32_t width, int32_t height);

}  // namespace Vextra
