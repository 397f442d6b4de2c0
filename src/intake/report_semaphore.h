#pragma once
// Counting semaphores that wake the two report threads: every Release is
// remembered in the count, so a record pushed before its consumer waits is
// still handed over.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Vextra {

class ReportSemaphore {
 public:
  // Adds one to the count and wakes one waiter. Any thread.
  void Release();
  // Waits until the count is above 0, then takes one from it.
  void Acquire();
  // Acquire that gives up after timeout; false when nothing was taken.
  bool TryAcquireFor(std::chrono::milliseconds timeout);
  int32_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  int32_t count_ = 0;  // guarded by mutex_
};

// Wakes PreProcessThread; released by every asynchronous report.
ReportSemaphore& PreprocessSemaphore();
// Wakes ProcessThread; released by PreProcessThread for every record it passes on.
ReportSemaphore& ProcessSemaphore();

}  // namespace Vextra
