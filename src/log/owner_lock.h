#pragma once
// A lock that records which thread holds it, for state that faulting threads
// and process exit reach: a wait can be bounded, so a holder that died (Windows
// ends the other threads before the unload notification) cannot stop the
// caller, and a thread that already holds the lock is told so instead of
// blocking on itself.

#include <atomic>
#include <cstdint>

namespace Vextra {

// Identifies the calling thread among the live ones; never 0. Cheap: no
// system call, no lock, no allocation.
uintptr_t CurrentThreadToken();

class OwnerLock {
 public:
  enum class Outcome {
    kAcquired,          // the caller holds the lock and must Unlock it
    kHeldByThisThread,  // re-entry: the caller already holds it (nothing to unlock)
    kTimedOut,          // another thread kept it for the whole wait
  };

  // Waits for the lock at most wait_ms milliseconds (0: a single try).
  // crash path: never waits longer than asked, allocates nothing.
  Outcome TryLockFor(uint32_t wait_ms);
  // Waits without bound, for paths no faulting thread or exit code reaches;
  // still reports re-entry instead of blocking on itself.
  Outcome Lock();
  // Only after kAcquired.
  void Unlock();
  bool HeldByThisThread() const;
  // Threads inside a wait, past their first failed try.
  int Waiting() const { return waiting_.load(std::memory_order_acquire); }

 private:
  bool TryOnce(uintptr_t self);

  std::atomic<uintptr_t> owner_{0};  // CurrentThreadToken of the holder, 0 when free
  std::atomic<int> waiting_{0};
};

// Scoped TryLockFor/Lock: unlocks on destruction when it acquired.
class OwnerLockGuard {
 public:
  // Bounded wait of wait_ms.
  OwnerLockGuard(OwnerLock& lock, uint32_t wait_ms) : lock_(lock), outcome_(lock.TryLockFor(wait_ms)) {}
  // Unbounded wait.
  explicit OwnerLockGuard(OwnerLock& lock) : lock_(lock), outcome_(lock.Lock()) {}
  ~OwnerLockGuard() {
    if (outcome_ == OwnerLock::Outcome::kAcquired) lock_.Unlock();
  }
  OwnerLockGuard(const OwnerLockGuard&) = delete;
  OwnerLockGuard& operator=(const OwnerLockGuard&) = delete;

  bool Acquired() const { return outcome_ == OwnerLock::Outcome::kAcquired; }
  OwnerLock::Outcome outcome() const { return outcome_; }

 private:
  OwnerLock& lock_;
  const OwnerLock::Outcome outcome_;
};

}  // namespace Vextra
