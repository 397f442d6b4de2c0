#pragma once

#include <ctime>
#include <string>

namespace Vextra {

// The C runtime's asctime text of a calendar time, without its newline:
// "Thu Dec  9 02:28:00 2021" (24 characters).
std::string AsctimeText(const std::tm& time);
// AsctimeText of the current local time followed by ":", the prefix of every log line.
std::string LogTimeStamp();

}  // namespace Vextra
