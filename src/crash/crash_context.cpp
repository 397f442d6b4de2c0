#include "crash/crash_context.h"

#include <cstring>

#include "log/sdk_log.h"
#include "log/time_stamp.h"

namespace Vextra {

CHcSpyGlobal& CHcSpyGlobal::Instance() {
  static CHcSpyGlobal* const context = new CHcSpyGlobal;
  return *context;
}

CHcSpyGlobal::CHcSpyGlobal() : creation_time(static_cast<int64_t>(WallClockSeconds())) {}

CHcSpyGlobal::~CHcSpyGlobal() = default;

void CHcSpyGlobal::AddHookedTarget(void* target) {
  if (hooked_count_ < kHookedTargetCapacity) hooked_[hooked_count_++] = target;
}

bool CHcSpyGlobal::RememberCrashAddress(uintptr_t address) {
  for (size_t i = 0; i < remembered_count_; ++i) {
    if (remembered_[i] == address) return false;
  }
  if (remembered_count_ < kRememberedAddressCapacity) {
    remembered_[remembered_count_++] = address;
    return true;
  }
  if (!remembered_full_told_) {
    remembered_full_told_ = true;
    LogAlways("crash address list full (%d addresses): later new addresses are sent but not remembered\n",
              static_cast<int>(kRememberedAddressCapacity));
  }
  return true;
}

void CHcSpyGlobal::SetHostPath(const char* path) {
  std::strncpy(host_path, path != nullptr ? path : "", kHostPathChars - 1);
  host_path[kHostPathChars - 1] = '\0';
}

void CHcSpyGlobal::ResetForTesting(int64_t now) {
  creation_time = now;
  enabled.store(1);
  veh_handle.store(nullptr);
  next_filter.store(nullptr);
  ignored_modules.ResetForTesting();
  crash_handled.store(false);
  last_crash_time.store(0);
  last_crash_address = 0;
  remembered_count_ = 0;
  remembered_full_told_ = false;
  hooked_count_ = 0;
}

}  // namespace Vextra
