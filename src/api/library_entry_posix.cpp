// Load and unload notifications of libVextra64.so.

#include <ctime>

#include "core/common_info.h"
#include "app/startup.h"
#include "app/teardown.h"

// No exception may leave a loader notification: it would end the host.
__attribute__((constructor)) static void VextraOnLoad() {
  try {
    Vextra::RunAttachSetup();
    Vextra::CommonInfo::Instance().SetBootTime(std::time(nullptr));
    Vextra::ScheduleTeardownAtExit();
  } catch (...) {
  }
}

__attribute__((destructor)) static void VextraOnUnload() {
  try {
    Vextra::TermHookContext();
  } catch (...) {
  }
}
