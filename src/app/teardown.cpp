#include "app/teardown.h"

#include <atomic>
#include <cstdlib>

#include "crash/crash_install.h"
#include "crash/crt_handlers.h"
#include "log/sdk_log.h"

namespace Vextra {
namespace {

void TermAtExit() {
  try {
    TermHookContext();
  } catch (...) {
  }
}

}  // namespace

void TermHookContext() {
  static std::atomic<bool> done{false};
  if (done.exchange(true)) return;
  RemoveCrashHandlers();
  RestoreRuntimeHandlers();
  LogDebug("Term\n");
  SdkLog::Instance().Disable();
}

void ScheduleTeardownAtExit() {
  // Exit handlers run in reverse order of registration: the log's closing was
  // registered when it was created, so creating it first puts teardown before it.
  SdkLog::Instance();
  std::atexit(TermAtExit);
}

}  // namespace Vextra
