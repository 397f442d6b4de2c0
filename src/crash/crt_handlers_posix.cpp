#include "crash/crt_handlers.h"

namespace Vextra {

// The POSIX C runtime has no invalid-parameter or pure-call handler to replace.
void ApplyRuntimeHandlers(bool) {}
void RestoreRuntimeHandlers() {}

void ThrowIntegerOne() { throw 1; }

}  // namespace Vextra
