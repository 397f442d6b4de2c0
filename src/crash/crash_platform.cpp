#include "crash/crash_platform.h"

#include <atomic>

namespace Vextra {
namespace {
std::atomic<const CrashPlatform*> g_override{nullptr};
}  // namespace

const CrashPlatform& CurrentCrashPlatform() {
  const CrashPlatform* chosen = g_override.load(std::memory_order_acquire);
  return chosen != nullptr ? *chosen : DefaultCrashPlatform();
}

}  // namespace Vextra

namespace Vextra::testing_hooks {
void SetCrashPlatformForTesting(const CrashPlatform* platform) { g_override.store(platform); }
}  // namespace Vextra::testing_hooks
