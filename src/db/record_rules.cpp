#include "db/record_rules.h"

#include <limits>

namespace Vextra {

int32_t ParseDbVersion(const char* cell) {
  if (cell == nullptr || *cell == '\0') return -1;
  int64_t value = 0;
  for (const char* p = cell; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > std::numeric_limits<int32_t>::max()) return -1;
  }
  return static_cast<int32_t>(value);
}

}  // namespace Vextra
