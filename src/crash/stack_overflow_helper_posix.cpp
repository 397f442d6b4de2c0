#include "crash/stack_overflow_helper.h"

namespace Vextra {

// POSIX installs no native capture, so no helper is started.
bool StartStackOverflowHelper() { return false; }
bool SendOnStackOverflowHelper(_EXCEPTION_POINTERS*, int32_t, uint32_t) { return false; }

}  // namespace Vextra
