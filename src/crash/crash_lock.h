#pragma once
// The crash lock: recursive, and only ever tried. A second crashing thread
// never waits for it; the thread that holds it gets it again when it faults
// while processing a crash.

#include <atomic>
#include <cstdint>

#include "crash/crash_platform.h"

namespace Vextra {

// How a wait for another crashing thread ended.
enum class CrashWaitEnd {
  kReleased,    // the lock is free (or was never held by another thread)
  kTimedOut,    // the holder kept it for the whole wait
  kHolderGone,  // the holder's thread no longer exists: nothing will let go
  kExitBegun,   // capture was switched off (process exit began): nothing more is sent
};

class CrashLock {
 public:
  // True when the lock was free or is already held by thread_id (the depth
  // then grows); false at once when another thread holds it.
  // crash path: one compare-exchange, never waits, allocates nothing.
  bool TryLock(uint32_t thread_id);
  // Undoes one successful TryLock of the holding thread.
  // crash path: never waits, allocates nothing.
  void Unlock();
  // True when a thread other than thread_id holds the lock.
  // crash path: one atomic load.
  bool HeldByAnother(uint32_t thread_id) const;
  // Waits while another thread holds the lock (a crash being written and
  // sent), polling every few milliseconds until max_wait_ms have passed on
  // the platform's monotonic clock. Stops at once when `enabled` reads 0 or
  // the holder's thread no longer exists. The lock itself is not taken.
  // crash path: bounded by a clock deadline, polls atomics between short
  // sleeps, takes no lock, allocates nothing.
  CrashWaitEnd WaitWhileHeldByAnother(uint32_t thread_id, uint32_t max_wait_ms, const CrashPlatform& platform,
                                      const std::atomic<int32_t>& enabled) const;

 private:
  static constexpr uint32_t kNoOwner = 0;
  std::atomic<uint32_t> owner_{kNoOwner};  // thread id of the holder
  uint32_t depth_ = 0;                      // written only by the holder
};

// Holds the crash lock for a scope when TryLock succeeded.
class CrashLockTry {
 public:
  CrashLockTry(CrashLock& lock, uint32_t thread_id) : lock_(lock), held_(lock.TryLock(thread_id)) {}
  ~CrashLockTry() {
    if (held_) lock_.Unlock();
  }
  CrashLockTry(const CrashLockTry&) = delete;
  CrashLockTry& operator=(const CrashLockTry&) = delete;
  bool held() const { return held_; }

 private:
  CrashLock& lock_;
  const bool held_;
};

}  // namespace Vextra
