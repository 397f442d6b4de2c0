#include "platform/guid.h"

#include <objbase.h>

#include <cstring>

namespace Vextra::platform {

Guid NewGuid() {
  GUID raw{};
  CoCreateGuid(&raw);
  Guid g;
  g.data1 = raw.Data1;
  g.data2 = raw.Data2;
  g.data3 = raw.Data3;
  std::memcpy(g.data4, raw.Data4, sizeof g.data4);
  return g;
}

}  // namespace Vextra::platform
