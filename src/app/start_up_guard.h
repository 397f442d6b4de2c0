#pragma once
// The guard around the first half of start-up: a structured exception raised
// on the starting thread (an access violation in configuration reading,
// device facts or hook installation) abandons that half instead of ending
// the host, which carries on without it.

#include <cstdint>

namespace Vextra {

// The codes the guard takes: those of error severity, except the ones that
// travel to a handler of their own: C++ throws, and the status codes of the
// remote-procedure-call runtime and its stubs, which COM raises and catches
// itself. Everything else goes on to the handlers that would see it anyway.
bool IsStartUpFault(uint32_t code);

// Runs body on this thread. A fault IsStartUpFault takes, raised on this
// thread while body runs, abandons body where it stands (its objects are not
// destroyed); the result is then false with *code set. True when body
// returned; a C++ exception leaves body and the guard as it came.
// One guard at a time: start-up runs under its own lock.
bool RunUnderStartUpGuard(void (*body)(), uint32_t* code);

}  // namespace Vextra
