#include "crash/crash_install.h"

namespace Vextra {

// POSIX: native crash capture is not installed; the decisions are shared.
void InstallCrashHandlers() {}
void RemoveCrashHandlers() {}

}  // namespace Vextra
