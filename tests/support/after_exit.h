#pragma once
// For death-test children (threadsafe style, so the process starts fresh):
// CheckAtExit registers a check that runs at process exit after the
// destructors of every static object created after the call, the way unload
// code, a C runtime handler or a library thread can still reach them. The
// child then ends with 0 when the check held and 3 when it did not.

#include <cstdlib>

namespace vextra_test {

using ExitCheck = bool (*)();

inline ExitCheck g_exit_check = nullptr;

inline void CheckAtExit(ExitCheck check) {
  g_exit_check = check;
  std::atexit([] { std::_Exit(g_exit_check() ? 0 : 3); });
}

}  // namespace vextra_test
