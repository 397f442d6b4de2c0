#include <sys/stat.h>

#include <ctime>

#include "crash/crash_decisions.h"
#include "crash/crash_platform.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }
uint32_t ThreadId() { return platform::ThreadId(); }
bool FileExists(const char* path) {
  struct stat status;
  return ::stat(path, &status) == 0;
}

}  // namespace

// A POSIX process enters no module: native capture is not installed there.
bool RefreshIgnoredModules() { return true; }

const CrashPlatform& DefaultCrashPlatform() {
  static const CrashPlatform platform{&Now, &ThreadId, &FileExists, &RefreshIgnoredModules};
  return platform;
}

}  // namespace Vextra
