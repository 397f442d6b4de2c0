#include "crash/stack_overflow_helper.h"

namespace Vextra {

// POSIX installs no native capture, so no helper is started.
bool StartStackOverflowHelper() { return false; }
bool ProcessOnStackOverflowHelper(_EXCEPTION_POINTERS*) { return false; }
uint32_t ActingThreadId(uint32_t self) { return self; }

}  // namespace Vextra
