#include "crash/crash_lock.h"

#include <thread>

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

bool CrashLock::WaitWhileHeldByAnother(uint32_t thread_id, uint32_t max_wait_ms) const {
  constexpr uint32_t kPollMs = 5;
  for (uint32_t waited = 0; HeldByAnother(thread_id); waited += kPollMs) {
    if (waited >= max_wait_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

void CrashLock::Unlock() {
  if (--depth_ == 0) owner_.store(kNoOwner, std::memory_order_release);
}

}  // namespace Vextra
