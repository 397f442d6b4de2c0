#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "crash/crash_decisions.h"
#include "crash/crash_platform.h"
#include "crash/ignored_modules.h"
#include "crash/proc_maps.h"
#include "log/sdk_log.h"
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

namespace {

// The module being assembled from consecutive mappings of one file.
struct ModuleWalk {
  char name[kModuleNameChars];
  char path[kModuleNameChars * 2];
  uintptr_t base;
  uint64_t end;
  bool open;
};

void OfferWalked(ModuleWalk& walk) {
  if (!walk.open) return;
  const uint64_t size = walk.end - walk.base;
  OfferLoadedModule(walk.name, walk.base, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size));
  walk.open = false;
}

void OnMapsLine(const char* text, size_t length, void* context) {
  auto& walk = *static_cast<ModuleWalk*>(context);
  MapsEntry entry;
  if (!ParseMapsLine(text, length, &entry) || !IsModuleMapping(entry)) return;
  const size_t path_length = entry.path_length < sizeof walk.path - 1 ? entry.path_length : sizeof walk.path - 1;
  const bool same = walk.open && std::strlen(walk.path) == path_length &&
                    std::memcmp(walk.path, entry.path, path_length) == 0;
  if (same && entry.offset != 0) {
    walk.end = entry.end;
    return;
  }
  OfferWalked(walk);
  if (entry.offset != 0) return;
  std::memcpy(walk.path, entry.path, path_length);
  walk.path[path_length] = '\0';
  const char* slash = std::strrchr(walk.path, '/');
  const char* base_name = slash != nullptr ? slash + 1 : walk.path;
  std::strncpy(walk.name, base_name, kMaxModuleNameUsed);
  walk.name[kMaxModuleNameUsed] = '\0';
  walk.base = static_cast<uintptr_t>(entry.start);
  walk.end = entry.end;
  walk.open = true;
}

}  // namespace

// The loaded files of /proc/self/maps, each offered once per refresh with
// the span from its first to its last mapping.
bool RefreshIgnoredModules() {
  const int fd = static_cast<int>(syscall(SYS_open, "/proc/self/maps", O_RDONLY | O_CLOEXEC));
  if (fd < 0) {
    LogDebug("fail to open /proc/self/maps error %d\n", errno);
    return false;
  }
  char buffer[2048];
  LineSplitter lines(buffer, sizeof buffer);
  ModuleWalk walk{};
  for (;;) {
    const long got = syscall(SYS_read, fd, lines.FreeSpace(), lines.FreeBytes());
    if (got <= 0) break;
    lines.Feed(static_cast<size_t>(got), &OnMapsLine, &walk);
  }
  lines.Feed(0, &OnMapsLine, &walk);
  OfferWalked(walk);
  syscall(SYS_close, fd);
  return true;
}

const CrashPlatform& DefaultCrashPlatform() {
  static const CrashPlatform platform{&Now,         &ThreadId, &FileExists,  &RefreshIgnoredModules,
                                      &MonotonicMs, &SleepMs,  &ThreadExists};
  return platform;
}

}  // namespace Vextra
