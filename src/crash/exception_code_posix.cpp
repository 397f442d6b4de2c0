#include "crash/exception_code.h"

namespace Vextra {

// POSIX hosts have no exception pointers to pass.
bool ExceptionCodeOf(const _EXCEPTION_POINTERS*, uint32_t*) { return false; }

}  // namespace Vextra
