#include <windows.h>
#include <tlhelp32.h>

#include "crash/crash_decisions.h"
#include "crash/crash_platform.h"
#include "crash/stack_overflow_helper.h"
#include "log/sdk_log.h"
#include "log/time_stamp.h"

namespace Vextra {
namespace {

int64_t Now() { return static_cast<int64_t>(WallClockSeconds()); }
uint32_t ThreadId() { return ActingThreadId(static_cast<uint32_t>(GetCurrentThreadId())); }
bool FileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }
uint64_t MonotonicMs() { return GetTickCount64(); }
void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

// A thread id that no longer opens names no thread; one that opens is alive
// until its handle is signalled. A thread we may not open is taken as alive.
bool ThreadExists(uint32_t thread_id) {
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, thread_id);
  if (thread == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
  CloseHandle(thread);
  return running;
}

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
  static const CrashPlatform platform{&Now,         &ThreadId, &FileExists,  &RefreshIgnoredModules,
                                      &MonotonicMs, &SleepMs,  &ThreadExists};
  return platform;
}

}  // namespace Vextra
