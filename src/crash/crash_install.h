#pragma once
// Puts crash capture in the path of the host's fatal errors and takes it out
// again: the top-level filter, the vectored handler, the three detours, and
// the C runtime's extra handlers.

namespace Vextra {

// Installs the filter, the vectored handler and the detours, logging each
// step; a failing step is logged and installation goes on. Also pins the
// library in the process, so that a host's FreeLibrary cannot leave any of
// them pointing into unmapped code, and starts the stack-overflow helper.
// On POSIX nothing is installed.
void InstallCrashHandlers();

// Removes the vectored handler and the detours and gives the host's filter
// back (teardown, once per process; TermHookContext decides the once).
void RemoveCrashHandlers();

}  // namespace Vextra
