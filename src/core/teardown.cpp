#include "core/teardown.h"

#include <atomic>

#include "log/sdk_log.h"

namespace Vextra {

void TermHookContext() {
  static std::atomic<bool> done{false};
  if (done.exchange(true)) return;
  LogDebug("Term\n");
  SdkLog::Instance().Disable();
}

}  // namespace Vextra
