// Exports: host log lines into the in-memory ring.

#include <cstdarg>

#include "api/export_guard.h"
#include "log/native_log_ring.h"
#include "vextra.h"

using namespace Vextra;

namespace {

// The one path of both formatting exports, so every argument reaches the format.
bool PrintLogArgs(int32_t level, const char* tag, const char* format, va_list args) {
  return Guarded(false, [&] { return VPrintNativeLog(level, tag, format, args); });
}

}  // namespace

extern "C" {

bool PrintLog(int32_t level, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool stored = PrintLogArgs(level, tag, format, args);
  va_end(args);
  return stored;
}

bool VX_PrintLog(int32_t level, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool stored = PrintLogArgs(level, tag, format, args);
  va_end(args);
  return stored;
}

bool VX_PrintLogSafe(bool filter, int32_t level, const char* tag, const char* message) {
  return Guarded(false, [&] {
    if (HostBool(filter)) return PrintNativeLogMessage(level, tag, message);
    return AppendNativeLog(NativeLogLevelName(level), tag, message);
  });
}

}  // extern "C"
