#pragma once
// Facts about the running process, supplied by the platform.

#include <cstdint>
#include <string>

namespace Vextra::platform {

// Full path of the host executable (the process's main module).
std::wstring ExecutablePath();
// The same path as narrow text: the ANSI code page on Windows, UTF-8 elsewhere.
std::string ExecutablePathNarrow();
// Full path of the module that holds this library's code (the DLL or .so,
// or the test program when the core is linked statically).
std::wstring LibraryPath();
uint32_t ProcessId();
uint32_t ThreadId();

}  // namespace Vextra::platform
