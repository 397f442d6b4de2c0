#include <pthread.h>

#include <cstdint>

#include "log/owner_lock.h"

namespace Vextra {

// pthread_self reads the thread pointer: no system call on the lock's fast path.
uintptr_t CurrentThreadToken() { return reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(pthread_self())); }

}  // namespace Vextra
