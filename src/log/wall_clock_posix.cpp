#include <ctime>

#include "log/time_stamp.h"

namespace Vextra {

std::time_t WallClockSeconds() { return std::time(nullptr); }

}  // namespace Vextra
