#include "platform/process_info.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/text_encoding.h"

namespace Vextra::platform {

std::string ExecutablePathNarrow() {
  char path[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::wstring ExecutablePath() {
  std::string path = ExecutablePathNarrow();
  return NarrowToWide(path.c_str(), path.size());
}

std::wstring LibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) {
    return ExecutablePath();
  }
  char resolved[PATH_MAX] = {};
  const char* path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
  return NarrowToWide(path, PATH_MAX);
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }
uint32_t ThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

}  // namespace Vextra::platform
