#include "crash/crt_handlers.h"

#include "crash/crash_options.h"
#include "log/sdk_log.h"
#include "report/map_recorder.h"

namespace Vextra {

void SwitchExtraHandlers(bool on) {
  SetExtraHandlerFlag(on);
  ApplyRuntimeHandlers(on);
}

void HcInvalidParameterHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
  LogDebug("HcInvalidParameterHandler");
  MapRecorder::Instance().Set("Exception Type", "invalidParameer");
  ThrowIntegerOne();
}

void HcPureCallHandler() {
  LogDebug("HcPureCallHandler");
  MapRecorder::Instance().Set("Exception Type", "PureCall");
  ThrowIntegerOne();
}

}  // namespace Vextra
