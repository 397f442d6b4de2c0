#pragma once
// The crash signal handlers of the Linux build and what goes with them: the
// alternate signal stacks, the handlers that were in force before (chained
// after the library's work) and the stop signal for the other threads.
// Only POSIX files include this header.

#include <signal.h>

#include <cstddef>
#include <cstdint>

#include "crash/signal_rules.h"

namespace Vextra {

// The alternate signal stack a crash is handled on; large enough for the
// dump and the upload that follows it on the crashing thread.
constexpr size_t kCrashAltStackBytes = 1u << 20;
// Below the stack pointer's mapping this far a fault counts as a stack
// overflow (the kernel's guard gap below a growing stack is 1 MiB).
constexpr uint64_t kStackGuardBytes = (1u << 20) + (64u << 10);

// Gives the calling thread an alternate signal stack of kCrashAltStackBytes
// (with a guard page below it), unless it has one at least that large.
// Not on the crash path (maps memory).
bool EnsureCrashAltStack();

// Installs the handlers for every crash signal (SA_SIGINFO | SA_ONSTACK) and
// keeps the previous actions; a second call keeps the first call's previous
// actions. Host threads only.
bool InstallSignalHandlers();
// Puts back each previous action whose slot still holds the library's
// handler. Host threads only.
void RestoreSignalHandlers();

// How a kept action would be chained.
PreviousKind PreviousKindOf(const struct sigaction& action);

// The low end of the accessible mapping of /proc/self/maps that holds
// address, 0 when none does (a guard page does not count).
// crash path: raw open/read into a stack buffer, allocates nothing.
uint64_t MappingLowOf(uint64_t address);

}  // namespace Vextra
