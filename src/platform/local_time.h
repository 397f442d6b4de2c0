#pragma once

#include <ctime>

namespace Vextra::platform {

// Converts seconds since the epoch to local calendar time; false on failure.
bool ToLocalTime(std::time_t seconds, std::tm* out);

}  // namespace Vextra::platform
