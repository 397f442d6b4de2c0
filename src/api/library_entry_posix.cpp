// Load and unload notifications of libVextra64.so.

#include <ctime>

#include "core/common_info.h"
#include "core/startup.h"
#include "core/teardown.h"

__attribute__((constructor)) static void VextraOnLoad() {
  Vextra::RunAttachSetup();
  Vextra::CommonInfo::Instance().SetBootTime(std::time(nullptr));
}

__attribute__((destructor)) static void VextraOnUnload() { Vextra::TermHookContext(); }
