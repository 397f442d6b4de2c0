#include "log/owner_lock.h"

#include <chrono>
#include <thread>

namespace Vextra {
namespace {

// Counts a thread as waiting for the scope of its wait.
class WaitingScope {
 public:
  explicit WaitingScope(std::atomic<int>& waiting) : waiting_(waiting) { waiting_.fetch_add(1, std::memory_order_acq_rel); }
  ~WaitingScope() { waiting_.fetch_sub(1, std::memory_order_acq_rel); }
  WaitingScope(const WaitingScope&) = delete;
  WaitingScope& operator=(const WaitingScope&) = delete;

 private:
  std::atomic<int>& waiting_;
};

// A holder keeps these locks for one copy or one write call, so a short spin
// usually suffices; after it the waiter yields, then sleeps, to leave the core
// to the holder.
constexpr int kSpins = 64;
constexpr int kYields = 64;

}  // namespace

bool OwnerLock::TryOnce(uintptr_t self) {
  uintptr_t expected = 0;
  return owner_.load(std::memory_order_relaxed) == 0 &&
         owner_.compare_exchange_strong(expected, self, std::memory_order_acquire, std::memory_order_relaxed);
}

OwnerLock::Outcome OwnerLock::TryLockFor(uint32_t wait_ms) {
  const uintptr_t self = CurrentThreadToken();
  if (owner_.load(std::memory_order_relaxed) == self) return Outcome::kHeldByThisThread;
  if (TryOnce(self)) return Outcome::kAcquired;
  if (wait_ms == 0) return Outcome::kTimedOut;
  const WaitingScope waiting(waiting_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (int round = 0;; ++round) {
    if (round < kSpins) {
      // busy retry
    } else if (round < kSpins + kYields) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (TryOnce(self)) return Outcome::kAcquired;
    if (round >= kSpins && std::chrono::steady_clock::now() >= deadline) return Outcome::kTimedOut;
  }
}

OwnerLock::Outcome OwnerLock::Lock() {
  const uintptr_t self = CurrentThreadToken();
  if (owner_.load(std::memory_order_relaxed) == self) return Outcome::kHeldByThisThread;
  if (TryOnce(self)) return Outcome::kAcquired;
  const WaitingScope waiting(waiting_);
  for (int round = 0; !TryOnce(self); ++round) {
    if (round >= kSpins + kYields) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    } else if (round >= kSpins) {
      std::this_thread::yield();
    }
  }
  return Outcome::kAcquired;
}

void OwnerLock::Unlock() { owner_.store(0, std::memory_order_release); }

bool OwnerLock::HeldByThisThread() const { return owner_.load(std::memory_order_relaxed) == CurrentThreadToken(); }

}  // namespace Vextra
