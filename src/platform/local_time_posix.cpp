#include "platform/local_time.h"

namespace Vextra::platform {

bool ToLocalTime(std::time_t seconds, std::tm* out) { return localtime_r(&seconds, out) != nullptr; }

}  // namespace Vextra::platform
