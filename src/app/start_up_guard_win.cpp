#include "app/start_up_guard.h"
#include "platform/fault_guard_win.h"

namespace Vextra {

bool RunUnderStartUpGuard(void (*body)(), uint32_t* code) {
  struct StartUp {};
  return platform::FaultGuard<StartUp>::Run(body, &IsStartUpFault, nullptr, code);
}

}  // namespace Vextra
