#include "intake/report_semaphore.h"

namespace Vextra {

void ReportSemaphore::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  wake_.notify_one();
}

void ReportSemaphore::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool ReportSemaphore::TryAcquireFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!wake_.wait_for(lock, timeout, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

int32_t ReportSemaphore::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

// Never destroyed: the detached report threads wait on them until the
// process ends, after static destructors may have run.
ReportSemaphore& PreprocessSemaphore() {
  static ReportSemaphore* semaphore = new ReportSemaphore;
  return *semaphore;
}

ReportSemaphore& ProcessSemaphore() {
  static ReportSemaphore* semaphore = new ReportSemaphore;
  return *semaphore;
}

}  // namespace Vextra
