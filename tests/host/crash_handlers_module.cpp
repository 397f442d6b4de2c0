// A module that installs the library's crash handlers and nothing else: no
// start-up and no HTTPS, so OpenSSL is never started (once started, it can
// pin the module it is linked into) and only the installation itself can
// keep the module mapped once its host unloads it.

#include <windows.h>

#include "core/process_flags.h"
#include "crash/crash_install.h"

// Marked initialised as a start-up would, so that the filter processes a
// crash and chains instead of answering at once.
extern "C" __declspec(dllexport) void InstallCrashHandlersOnly() {
  Vextra::MarkInitialized();
  Vextra::InstallCrashHandlers();
}
