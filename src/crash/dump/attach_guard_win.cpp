#include "crash/dump/attach_guard.h"
#include "platform/fault_guard_win.h"

namespace Vextra {
namespace {

// Codes that C++ throws carry through structured exception handling: they
// unwind to their own catch, the guard leaves them alone.
constexpr uint32_t kMsvcThrowCode = 0xE06D7363;
constexpr uint32_t kGccThrowCode = 0x20474343;

bool IsGuardedFault(uint32_t code) {
  return (code & 0xC0000000u) == 0xC0000000u && code != kMsvcThrowCode && code != kGccThrowCode;
}

// The loader serialises attach notifications; the filter is one per process.
AttachFaultFilter g_filter = nullptr;

void CallFilter(uint32_t code, EXCEPTION_POINTERS* pointers) {
  if (g_filter != nullptr) g_filter(code, pointers);
}

}  // namespace

bool RunUnderAttachGuard(void (*body)(), AttachFaultFilter filter, uint32_t* code) {
  struct Attach {};
  g_filter = filter;
  return platform::FaultGuard<Attach>::Run(body, &IsGuardedFault, &CallFilter, code);
}

}  // namespace Vextra
