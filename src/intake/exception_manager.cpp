#include "intake/exception_manager.h"

#include "log/lu_logger.h"

namespace Vextra {
namespace {

constexpr int32_t kQueueLogLevel = 2;

template <typename... Args>
void QueueLog(const char* format, Args... args) {
  LuLogger& logger = LuLogger::Instance();
  if (logger.IsEnabled()) logger.Log(kQueueLogLevel, format, args...);
}

ErrorInfo PopFront(std::deque<ErrorInfo>& queue, std::mutex& lock) {
  ErrorInfo info;
  std::lock_guard<std::mutex> guard(lock);
  if (!queue.empty()) {
    info = std::move(queue.front());
    queue.pop_front();
  }
  return info;
}

}  // namespace

ExceptionManager& ExceptionManager::Instance() {
  static ExceptionManager* manager = new ExceptionManager;
  return *manager;
}

void ExceptionManager::PushPreProcess(const ErrorInfo& info) {
  std::lock_guard<std::mutex> guard(preprocessLock_);
  QueueLog("PreProcess queue size is %zu.", preprocess_.size());
  preprocess_.push_back(info);
}

ErrorInfo ExceptionManager::PopPreProcess() { return PopFront(preprocess_, preprocessLock_); }

void ExceptionManager::PushProcessing(const ErrorInfo& info) {
  QueueLog("Push processing queue.");
  std::lock_guard<std::mutex> guard(processingLock_);
  QueueLog("Processing queue size is %zu.", processing_.size());
  processing_.push_back(info);
}

ErrorInfo ExceptionManager::PopProcessing() { return PopFront(processing_, processingLock_); }

void ExceptionManager::PushRecorded(const ErrorInfo& info) {
  QueueLog(" push recorded queue.");
  std::lock_guard<std::mutex> guard(recordedLock_);
  QueueLog("Recorded queue size is %zu.", recorded_.size());
  // An existing entry keeps its first values.
  recorded_.emplace(info.stackDigest, RecordedEntry{info.lastProcessedTime, info.count});
}

int32_t ExceptionManager::UpdateRecorded(const std::string& digest, int64_t time, int32_t delta) {
  QueueLog(" push recorded queue.");
  std::lock_guard<std::mutex> guard(recordedLock_);
  auto entry = recorded_.find(digest);
  if (entry == recorded_.end()) return -1;
  entry->second.lastProcessedTime = time;
  entry->second.count += delta;
  return 1;
}

size_t ExceptionManager::PreProcessSize() const {
  std::lock_guard<std::mutex> guard(preprocessLock_);
  return preprocess_.size();
}

size_t ExceptionManager::ProcessingSize() const {
  std::lock_guard<std::mutex> guard(processingLock_);
  return processing_.size();
}

size_t ExceptionManager::RecordedSize() const {
  std::lock_guard<std::mutex> guard(recordedLock_);
  return recorded_.size();
}

bool ExceptionManager::FindRecorded(const std::string& digest, RecordedEntry* out) const {
  std::lock_guard<std::mutex> guard(recordedLock_);
  auto entry = recorded_.find(digest);
  if (entry == recorded_.end()) return false;
  if (out != nullptr) *out = entry->second;
  return true;
}

}  // namespace Vextra
