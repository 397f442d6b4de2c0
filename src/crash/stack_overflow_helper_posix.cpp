#include "crash/stack_overflow_helper.h"

namespace Vextra {

// POSIX installs no native capture, so no helper is started.
bool StartStackOverflowHelper() { return false; }
HelperOutcome RunStackOverflowOnHelper(OverflowPass, const ExceptionFacts&, OverflowDispatch, OverflowAnswer*) {
  return HelperOutcome::kNoHelper;
}
uint32_t ActingThreadId(uint32_t self) { return self; }
uint32_t StackOverflowHelperThreadId() { return 0; }

}  // namespace Vextra
