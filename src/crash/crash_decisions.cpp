#include "crash/crash_decisions.h"

#include <cstdio>
#include <cstring>

#include "crash/crash_context.h"
#include "crash/crash_options.h"
#include "crash/crash_platform.h"
#include "crash/dump/dump_files.h"
#include "log/sdk_log.h"

namespace Vextra {
namespace {

// Codes the vectored handler leaves alone while it is switched on: debugger
// events and remote-procedure-call failures raised as HRESULTs.
constexpr uint32_t kVehQuietCodes[] = {0x80000003, 0x80000004, 0x800706BA, 0x800706BF, 0x800706B5, 0x800706BE};

}  // namespace

bool IsCrashExceptionCode(uint32_t code) {
  if (IsAcceptedCode(code)) return true;
  if (code == kFatalAppExitCode) return true;
  if (code == kManualCrashCode) {
    CHcSpyGlobal& context = CHcSpyGlobal::Instance();
    const int64_t now = CurrentCrashPlatform().now();
    const int64_t last = context.last_crash_time.load(std::memory_order_acquire);
    if (!context.crash_handled.load(std::memory_order_acquire) || now - last > kManualReportWindowSeconds) {
      LogDebug("Current time is %ld, last error time is %ld", static_cast<long>(now), static_cast<long>(last));
      return true;
    }
  }
  const uint32_t severity = code >> 30;
  if (severity == 0 || severity == 1) return false;
  const bool veh_on = IsVehEnabled();
  if (veh_on) {
    for (uint32_t quiet : kVehQuietCodes) {
      if (code == quiet) return false;
    }
  }
  if (code == kCppThrowCode && veh_on) return false;
  return true;
}

void BuildMarkerPath(const char* host_path, char (&out)[kMarkerPathChars]) {
  BuildMarkerPath(host_path, '\\', out);
}

void BuildMarkerPath(const char* host_path, char sep, char (&out)[kMarkerPathChars]) {
  char directory[kHostPathChars] = {};
  const char* last = std::strrchr(host_path, sep);
  size_t length = last != nullptr ? static_cast<size_t>(last - host_path) : 0;
  if (length > kHostPathChars - 1) length = kHostPathChars - 1;
  std::memcpy(directory, host_path, length);
  std::snprintf(out, sizeof out, "%s%c%s", directory, sep, kMarkerFileName);
}

bool IsCaptureEnabled() {
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  if (context.enabled.load(std::memory_order_acquire) == 0) return false;
  const CrashPlatform& platform = CurrentCrashPlatform();
  if (platform.now() - context.creation_time > 1) return true;
  char marker[kMarkerPathChars];
  BuildMarkerPath(context.host_path, dumpfs::kNarrowSep, marker);
  if (!platform.file_exists(marker)) return true;
  LogDebug("HCSPY DO NOT WORK FOR CONFIG\n");
  context.enabled.store(0, std::memory_order_release);
  return false;
}

bool IsInIgnoredModule(uintptr_t address) { return CHcSpyGlobal::Instance().ignored_modules.Contains(address); }

void OfferLoadedModule(const char* name, uintptr_t base, uint32_t size) {
  if (!IgnoredDllNames().Matches(name)) return;
  IgnoredModuleTable& table = CHcSpyGlobal::Instance().ignored_modules;
  if (table.Count() >= kIgnoredModuleCapacity) {
    LogDebug("IGNORE DLL BUF OVERLOAD!\n");
    return;
  }
  LogDebug("Ignore dll name %s\n", name);
  if (table.Append(name, base, size) == IgnoredAppend::kOverload) {
    LogDebug("IGNORE DLL BUF OVERLOAD!\n");  // another thread took the last entry
    return;
  }
  LogDebug("ADD IGNORE MODULE %s base 0x%p size %d\n", name, reinterpret_cast<void*>(base), static_cast<int>(size));
}

}  // namespace Vextra
