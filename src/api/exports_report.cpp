// Exports: error reports from the host's script or engine layers.

#include <string>

#include "api/export_guard.h"
#include "core/common_info.h"
#include "intake/error_intake.h"
#include "platform/text_encoding.h"
#include "vextra.h"

using namespace Vextra;

extern "C" {

void reportException(int32_t type, const char* name, const char* message, const char* stack,
                     const char* extra_info, bool asynchronous, const wchar_t* log_path) {
  Guarded([&] { ReportError(type, name, message, stack, extra_info, HostBool(asynchronous), log_path); });
}

void VX_ReportException(int32_t type, const char* name, const char* message, const char* stack,
                        const char* extra_info, bool asynchronous, const char* log_path) {
  Guarded([&] {
    // The narrow log path becomes the wide one (empty when absent) and, when
    // given, the base of the workspace.
    std::wstring wide_log_path;
    if (log_path != nullptr) {
      wide_log_path = platform::NarrowToWide(log_path);
      CommonInfo::Instance().SetWorkspaceFromLogPath(wide_log_path);
    }
    reportException(type, name, message, stack, extra_info, HostBool(asynchronous), wide_log_path.c_str());
  });
}

void VX_ReportExceptionW(int32_t type, const char* name, const char* message, const char* stack,
                         const char* extra_info, bool asynchronous, const wchar_t* log_path) {
  Guarded([&] { reportException(type, name, message, stack, extra_info, HostBool(asynchronous), log_path); });
}

}  // extern "C"
