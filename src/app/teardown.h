#pragma once

namespace Vextra {

// Runs when the library is unloaded: removes the vectored handler and the
// detours, gives the host's filter back, and closes the SDK log for writing.
// At most once per process.
void TermHookContext();

// For loaders without an unload notification that runs before the static
// destructors (POSIX): makes TermHookContext run at process exit or library
// unload, before the SDK log writes its closing line.
void ScheduleTeardownAtExit();

}  // namespace Vextra
