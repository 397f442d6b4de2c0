#include "log/owner_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace Vextra {
namespace {

using Outcome = OwnerLock::Outcome;

TEST(OwnerLockTest, ReentryIsReportedAndAnotherHolderBoundsTheWait) {
  OwnerLock lock;
  ASSERT_EQ(lock.TryLockFor(0), Outcome::kAcquired);
  EXPECT_TRUE(lock.HeldByThisThread());
  EXPECT_EQ(lock.TryLockFor(1000), Outcome::kHeldByThisThread);
  EXPECT_EQ(lock.Lock(), Outcome::kHeldByThisThread) << "an unbounded wait never blocks on its own holder";

  std::thread other([&] {
    EXPECT_FALSE(lock.HeldByThisThread());
    EXPECT_EQ(lock.TryLockFor(0), Outcome::kTimedOut);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lock.TryLockFor(50), Outcome::kTimedOut);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::seconds(5));
  });
  other.join();
  lock.Unlock();
  EXPECT_FALSE(lock.HeldByThisThread());

  std::thread after([&] {
    EXPECT_EQ(lock.TryLockFor(0), Outcome::kAcquired);
    lock.Unlock();
  });
  after.join();
}

// The holder lets go only once the waiter is inside its wait (its first try
// failed), so the waiter's retries are what must take the lock.
TEST(OwnerLockTest, WaiterGetsTheLockOnceItIsReleased) {
  static constexpr struct {
    const char* what;
    bool bounded;
  } kCases[] = {{"bounded wait", true}, {"unbounded wait", false}};
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    OwnerLock lock;
    std::promise<void> holding;
    std::promise<void> release;
    std::thread holder([&] {
      OwnerLockGuard guard(lock);
      holding.set_value();
      release.get_future().wait();
    });
    holding.get_future().wait();
    auto waiter = std::async(std::launch::async, [&] {
      const Outcome outcome = row.bounded ? lock.TryLockFor(10000) : lock.Lock();
      if (outcome == Outcome::kAcquired) lock.Unlock();
      return outcome;
    });
    while (lock.Waiting() == 0) std::this_thread::yield();
    release.set_value();
    EXPECT_EQ(waiter.get(), Outcome::kAcquired);
    holder.join();
    EXPECT_EQ(lock.Waiting(), 0);
  }
  // A thread that ended holding the lock, as one that dies holding it would:
  // a later wait runs out instead of blocking.
  OwnerLock lock;
  std::thread([&] { EXPECT_EQ(lock.TryLockFor(0), Outcome::kAcquired); }).join();
  EXPECT_EQ(lock.TryLockFor(10), Outcome::kTimedOut);
}

TEST(OwnerLockTest, HoldersExcludeEachOther) {
  OwnerLock lock;
  long counter = 0;  // guarded by lock; a race here is what the sanitizers look for
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        OwnerLockGuard guard = (i + t) % 2 == 0 ? OwnerLockGuard(lock) : OwnerLockGuard(lock, 60000);
        ASSERT_TRUE(guard.Acquired());
        ++counter;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

}  // namespace
}  // namespace Vextra
