#include <windows.h>
#include <tlhelp32.h>

#include <ctime>

#include "crash/crash_decisions.h"
#include "crash/crash_platform.h"
#include "crash/stack_overflow_helper.h"
#include "log/sdk_log.h"

namespace Vextra {
namespace {

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }
uint32_t ThreadId() { return ActingThreadId(static_cast<uint32_t>(GetCurrentThreadId())); }
bool FileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

bool RefreshIgnoredModules() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    LogDebug("fail to CreateToolhelp32Snapshot error %d\n", static_cast<int>(GetLastError()));
    return false;
  }
  MODULEENTRY32 module;
  module.dwSize = sizeof module;
  if (!Module32First(snapshot, &module)) {
    LogDebug("fail to Module32First error %d\n", static_cast<int>(GetLastError()));
    CloseHandle(snapshot);
    return false;
  }
  do {
    OfferLoadedModule(module.szModule, reinterpret_cast<uintptr_t>(module.modBaseAddr),
                      static_cast<uint32_t>(module.modBaseSize));
  } while (Module32Next(snapshot, &module));
  CloseHandle(snapshot);
  return true;
}

const CrashPlatform& DefaultCrashPlatform() {
  static const CrashPlatform platform{&Now, &ThreadId, &FileExists, &RefreshIgnoredModules};
  return platform;
}

}  // namespace Vextra
