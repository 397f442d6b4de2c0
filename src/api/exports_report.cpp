// Exports: error reports from the host's script or engine layers.

#include "api/export_guard.h"
#include "vextra.h"

using namespace Vextra;

extern "C" {

void reportException(int32_t type, const char* name, const char* message, const char* stack,
                     const char* extra_info, bool asynchronous, const wchar_t* log_path) {}

void VX_ReportException(int32_t type, const char* name, const char* message, const char* stack,
                        const char* extra_info, bool asynchronous, const char* log_path) {}

void VX_ReportExceptionW(int32_t type, const char* name, const char* message, const char* stack,
                         const char* extra_info, bool asynchronous, const wchar_t* log_path) {
  reportException(type, name, message, stack, extra_info, asynchronous, log_path);
}

}  // extern "C"
