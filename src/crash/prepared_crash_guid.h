#pragma once
// The GUID of the next crash, made ahead of time: the system's GUID source
// may allocate or take a lock, so the send step takes a GUID made before the
// crash and the next one is made once that crash's dump is written.

#include "platform/guid.h"

namespace Vextra {

// Makes the next crash's GUID when none is waiting. Never on the crash path
// before the dump: installation, and the send step after its dump.
void PrepareCrashGuid();

// Moves the waiting GUID into *out and leaves none; false when there is none
// (not prepared yet, or another crash took it).
// crash path: allocates nothing, takes no lock.
bool TakePreparedCrashGuid(platform::Guid* out);

namespace testing_hooks {
// The waiting GUID without taking it; false when there is none.
bool PeekPreparedCrashGuid(platform::Guid* out);
}  // namespace testing_hooks

}  // namespace Vextra
