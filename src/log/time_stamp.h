#pragma once
// Time texts of the logs, built in fixed buffers without taking any lock, so
// that a faulting thread or process exit can stamp a line.

#include <cstddef>
#include <ctime>

namespace Vextra {

constexpr size_t kAsctimeChars = 24;  // "Thu Dec  9 02:28:00 2021"
// The 24-character asctime text, ":" and a terminator.
constexpr size_t kLogTimeStampBytes = kAsctimeChars + 2;

// Seconds since the epoch from the system clock. crash path: takes no lock
// (not even the C runtime's), allocates nothing.
std::time_t WallClockSeconds();

// Writes the C runtime's asctime text of a calendar time, without its newline
// and terminated, into out (kAsctimeChars + 1 bytes).
void FormatAsctime(const std::tm& time, char* out);

// Local calendar time of now (seconds since the epoch). crash path: takes no
// lock and allocates nothing: the zone offset is learned from the C runtime's
// conversion at most once per second, by one thread at a time, while the others
// use the offset learned last; only the very first call waits for a conversion.
void LocalCalendarTime(std::time_t now, std::tm* out);

// The current local time's asctime text followed by ":" and a terminator, the
// prefix of every log line. crash path: no lock, no allocation.
void WriteLogTimeStamp(char (&out)[kLogTimeStampBytes]);

}  // namespace Vextra
