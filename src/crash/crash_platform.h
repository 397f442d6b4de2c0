#pragma once
// The few platform facts and effects the crash entries need, behind function
// pointers so that the decisions run natively in tests with fakes.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

struct CrashPlatform {
  // Seconds since the epoch, read from the system clock without the C
  // runtime (whose time() may take a lock a dead thread left held).
  int64_t (*now)();
  uint32_t (*thread_id)();
  // Whether a file exists at the narrow path.
  bool (*file_exists)(const char* path);
  // RefreshIgnoredModules: appends the loaded modules on the ignore list.
  bool (*refresh_ignored_modules)();
  // Milliseconds of a clock that never goes back (any origin), for deadlines.
  uint64_t (*monotonic_ms)();
  // Sleeps about this long; the system's timer may make it longer.
  void (*sleep_ms)(uint32_t milliseconds);
  // Whether a thread of this process with this id still exists.
  bool (*thread_exists)(uint32_t thread_id);
};

// The platform's own calls. Every function is crash-path safe: none allocates
// or waits on a lock another thread may hold (the module refresh excepted,
// see RefreshIgnoredModules). The thread id is the faulting thread's also
// while the stack-overflow helper processes a crash for it.
const CrashPlatform& DefaultCrashPlatform();

// What the crash entries use: the default, or a test's fakes.
// crash path: one atomic load.
const CrashPlatform& CurrentCrashPlatform();

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: use `platform` (which must outlive its use); null restores the default.
void SetCrashPlatformForTesting(const CrashPlatform* platform);
}  // namespace Vextra::testing_hooks
