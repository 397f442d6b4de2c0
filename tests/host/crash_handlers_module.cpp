// A module that installs the library's crash handlers and nothing else: no
// start-up, no TLS, so nothing but the installation itself can keep it mapped
// once its host unloads it (OpenSSL, once started, pins the module it lives in).

#include <windows.h>

#include "core/process_flags.h"
#include "crash/crash_install.h"

// Marked initialised as a start-up would, so that the filter processes a
// crash and chains instead of answering at once.
extern "C" __declspec(dllexport) void InstallCrashHandlersOnly() {
  Vextra::MarkInitialized();
  Vextra::InstallCrashHandlers();
}
