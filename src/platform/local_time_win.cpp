#include "platform/local_time.h"

namespace Vextra::platform {

bool ToLocalTime(std::time_t seconds, std::tm* out) { return localtime_s(out, &seconds) == 0; }

}  // namespace Vextra::platform
