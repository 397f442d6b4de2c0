#include <windows.h>

#include <cstdint>

#include "log/time_stamp.h"

namespace Vextra {

// The system clock straight from the kernel: the C runtime's time() also asks
// for the time zone, which under Wine takes a lock in the host system's C
// library that a thread ended at process exit can leave taken.
std::time_t WallClockSeconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000ull;  // 100 ns ticks
  return static_cast<std::time_t>((ticks - kTicksFrom1601To1970) / 10000000ull);
}

}  // namespace Vextra
