#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "crash/crash_decisions.h"
#include "crash/crash_platform.h"
#include "log/time_stamp.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

int64_t Now() { return static_cast<int64_t>(WallClockSeconds()); }
uint32_t ThreadId() { return platform::ThreadId(); }
bool FileExists(const char* path) {
  struct stat status;
  return ::stat(path, &status) == 0;
}

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// Signal 0 to a thread of this process only checks that it exists.
bool ThreadExists(uint32_t thread_id) {
  if (syscall(SYS_tgkill, static_cast<long>(getpid()), static_cast<long>(thread_id), 0L) == 0) return true;
  return errno != ESRCH;
}

}  // namespace

// A POSIX process enters no module: native capture is not installed there.
bool RefreshIgnoredModules() { return true; }

const CrashPlatform& DefaultCrashPlatform() {
  static const CrashPlatform platform{&Now,         &ThreadId, &FileExists,  &RefreshIgnoredModules,
                                      &MonotonicMs, &SleepMs,  &ThreadExists};
  return platform;
}

}  // namespace Vextra
