#include "crash/manual_report.h"

namespace Vextra {

// No native capture on POSIX: a manual report produces nothing.
void RaiseManualCrashReport() {}

}  // namespace Vextra
