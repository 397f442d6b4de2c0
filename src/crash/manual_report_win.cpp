#include <windows.h>

#include "crash/crash_decisions.h"
#include "crash/manual_report.h"

namespace Vextra {
namespace {

// Registered last, so the library's own vectored handler (registered first)
// sees the exception before this guard resumes it.
LONG WINAPI ResumeManualReport(EXCEPTION_POINTERS* pointers) {
  if (pointers != nullptr && pointers->ExceptionRecord != nullptr &&
      pointers->ExceptionRecord->ExceptionCode == kManualCrashCode) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void RaiseManualCrashReport() {
  void* guard = AddVectoredExceptionHandler(0, &ResumeManualReport);
  if (guard == nullptr) return;  // without the guard the raise would end the host
  RaiseException(kManualCrashCode, 0, 0, nullptr);
  RemoveVectoredExceptionHandler(guard);
}

}  // namespace Vextra
