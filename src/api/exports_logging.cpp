// Exports: host log lines into the in-memory ring.

#include "api/export_guard.h"
#include "vextra.h"

using namespace Vextra;

extern "C" {

bool PrintLog(int32_t level, const char* tag, const char* format, ...) { return false; }

bool VX_PrintLog(int32_t level, const char* tag, const char* format, ...) { return false; }

bool VX_PrintLogSafe(bool filter, int32_t level, const char* tag, const char* message) { return false; }

}  // extern "C"
