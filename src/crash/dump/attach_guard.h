#pragma once
// The structured-exception guard around the library's attach setup: a fault
// in the setup is handed to a filter (the test dump) and the setup is left,
// so the loader can be told the attach failed instead of the host dying.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

using AttachFaultFilter = long (*)(uint32_t code, _EXCEPTION_POINTERS* pointers);

// Runs body on this thread. A fault of error severity raised on this thread
// while body runs (a C++ throw excepted: it unwinds as usual) calls filter
// with its code and pointers and abandons body; the result is then false and
// *code holds the exception code. True when body returned normally.
// The guard sees a fault before any handler inside body would: a fault that
// code inside body means to handle itself is taken too (the attach setup has
// none). One guard at a time (the loader serialises attach notifications).
bool RunUnderAttachGuard(void (*body)(), AttachFaultFilter filter, uint32_t* code);

}  // namespace Vextra
