#pragma once
// Process-wide flags: single bytes, written once or rarely and read without a
// lock from any thread, the crashing thread included.

#include <atomic>

namespace Vextra {

// The library has started and the remote strategy allowed it. Set once by
// start-up, never cleared.
bool IsInitialized();
void MarkInitialized();

// SDK log debug lines are written while this is on.
bool IsDebugMode();
void SetDebugMode(bool on);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: returns the initialised flag to 0 so one test program can
// exercise both states.
void ResetInitializedForTesting();
}  // namespace Vextra::testing_hooks
