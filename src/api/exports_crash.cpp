// Exports: crash capture switches, host hooks and dump uploads.

#include <cinttypes>

#include "api/export_guard.h"
#include "app/vextra_agent.h"
#include "core/process_flags.h"
#include "crash/crash_callbacks.h"
#include "crash/crash_options.h"
#include "crash/crt_handlers.h"
#include "crash/crash_entries.h"
#include "crash/exception_facts.h"
#include "crash/manual_report.h"
#include "log/sdk_log.h"
#include "vextra.h"

using namespace Vextra;

namespace {
constexpr uint32_t kUnrealCriticalCodes[] = {0x4000, 0x8000};
}  // namespace

extern "C" {

void VxReportCrash(void) {
  Guarded([] { RaiseManualCrashReport(); });
}

void VX_ReportCrash(void) { VxReportCrash(); }

int32_t VX_ReportCrashWithExpInfo(struct _EXCEPTION_POINTERS* exception_pointers) {
  return Guarded(0, [&] {
    const ExceptionFacts facts = ExceptionFactsOf(exception_pointers);
    if (facts.has_record) LogDebug("VX_ReportCrash 0x%08x\n", facts.code);
    return static_cast<int32_t>(HcSpyInCatchExceptionFilter(facts));
  });
}

void VX_TestNativeCrash(void) {
  // An access violation in the caller's thread, as a real fault would raise.
  *reinterpret_cast<volatile int32_t*>(static_cast<uintptr_t>(40000)) = 5;
}

bool SetVehEnable(bool enable) { return StoreVehEnable(HostBool(enable)); }
bool VX_SetVehEnable(bool enable) { return SetVehEnable(enable); }

void SetExtraHandler(bool enable) {
  Guarded([&] { SwitchExtraHandlers(HostBool(enable)); });
}
void VX_SetExtraHandler(bool enable) { SetExtraHandler(enable); }

void VX_AddValidExpCode(int32_t exception_code) {
  Guarded([&] { AddAcceptedCode(static_cast<uint32_t>(exception_code)); });
}

void VX_UnrealCriticalErrorEnable(bool enable) {
  Guarded([&] {
    if (!HostBool(enable)) return;  // nothing is ever removed
    for (uint32_t code : kUnrealCriticalCodes) AddAcceptedCode(code);
  });
}

bool VX_UploadCrashWithGuid(const char* guid) {
  if (!IsInitialized()) return false;
  bool result = true;
  Guarded([&] { result = VextraAgent::Instance().UploadCrashWithGuid(guid != nullptr ? guid : ""); });
  return result;
}

uint64_t SetCrashCallback(uint64_t callback) {
  Guarded([&] { LogDebug("SetCrashCallback: %" PRIu64 "\n", callback); });
  return StoreCrashCallback(callback);
}

uint64_t VX_SetCrashCallback(uint64_t callback) { return SetCrashCallback(callback); }

void VX_SetCrashObserver(HRBCrashObserver* observer) {
  Guarded([&] { SetCrashObserver(observer); });
}

void vx_setUnityCallback(VextraUnityCallback callback) {
  Guarded([&] { SetUnityCallback(callback); });
}

void VX_MonitorEnable(bool) {}

}  // extern "C"
