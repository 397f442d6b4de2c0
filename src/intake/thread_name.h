#pragma once

#include <string>

namespace Vextra {

// Gives the calling thread a name a debugger shows. Windows: the thread
// description (where the system has it) and the debugger naming exception;
// elsewhere the platform's thread-naming call (names cut to 15 bytes).
void SetThreadName(const char* name);

// The calling thread's name as the platform reports it; "" where it cannot
// be read. Tests use it.
std::string CurrentThreadName();

}  // namespace Vextra
