#include <windows.h>

#include <cstdint>

#include "log/owner_lock.h"

namespace Vextra {

uintptr_t CurrentThreadToken() { return GetCurrentThreadId(); }

}  // namespace Vextra
