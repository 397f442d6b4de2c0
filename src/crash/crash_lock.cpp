#include "crash/crash_lock.h"

namespace Vextra {

bool CrashLock::TryLock(uint32_t thread_id) {
  // Thread id 0 is never a real thread; give it a value that cannot collide
  // with the free marker.
  if (thread_id == kNoOwner) thread_id = ~0u;
  if (owner_.load(std::memory_order_acquire) == thread_id) {
    ++depth_;
    return true;
  }
  uint32_t expected = kNoOwner;
  if (!owner_.compare_exchange_strong(expected, thread_id, std::memory_order_acquire)) return false;
  depth_ = 1;
  return true;
}

bool CrashLock::HeldByAnother(uint32_t thread_id) const {
  if (thread_id == kNoOwner) thread_id = ~0u;
  const uint32_t owner = owner_.load(std::memory_order_acquire);
  return owner != kNoOwner && owner != thread_id;
}

CrashWaitEnd CrashLock::WaitWhileHeldByAnother(uint32_t thread_id, uint32_t max_wait_ms,
                                               const CrashPlatform& platform,
                                               const std::atomic<int32_t>& enabled) const {
  constexpr uint64_t kPollMs = 5;
  if (thread_id == kNoOwner) thread_id = ~0u;
  // The deadline is read on the clock: a sleep may last a whole system timer
  // tick (15.6 ms on Windows), so counting requested sleeps would overrun it.
  const uint64_t start = platform.monotonic_ms();
  for (;;) {
    const uint32_t owner = owner_.load(std::memory_order_acquire);
    if (owner == kNoOwner || owner == thread_id) return CrashWaitEnd::kReleased;
    if (enabled.load(std::memory_order_acquire) == 0) return CrashWaitEnd::kExitBegun;
    if (!platform.thread_exists(owner)) return CrashWaitEnd::kHolderGone;
    const uint64_t waited = platform.monotonic_ms() - start;
    if (waited >= max_wait_ms) return CrashWaitEnd::kTimedOut;
    const uint64_t left = max_wait_ms - waited;
    platform.sleep_ms(static_cast<uint32_t>(left < kPollMs ? left : kPollMs));
  }
}

void CrashLock::Unlock() {
  if (--depth_ == 0) owner_.store(kNoOwner, std::memory_order_release);
}

}  // namespace Vextra
