#pragma once
// The queues every asynchronous error passes through: the preprocess queue
// (filled by the intake), the processing queue (filled by PreProcessThread,
// emptied by ProcessThread) and the recorded store (per stack digest, the time
// of its last upload and its merge count; nothing else of a record is kept).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/base_singleton.h"
#include "report/error_info.h"

namespace Vextra {

// What the recorded store keeps of a stack digest: only what is ever read of
// it, so a distinct stack costs the store a few dozen bytes however large
// its report was.
struct RecordedEntry {
  int64_t lastProcessedTime = 0;  // seconds since the epoch of the last upload
  int32_t count = 0;              // merge counter
};

// Every operation may run on any thread; each container has its own lock and
// no operation holds two of them. Records are copied whole in and out.
class ExceptionManager : public BaseSingleton<ExceptionManager> {
 public:
  ExceptionManager() = default;
  ~ExceptionManager() override = default;

  // The process's manager. Never destroyed: the detached report threads use
  // it until the process ends.
  static ExceptionManager& Instance();

  void PushPreProcess(const ErrorInfo& info);
  // The head of the queue, removed; a default record (isEmpty) when empty.
  ErrorInfo PopPreProcess();
  void PushProcessing(const ErrorInfo& info);
  ErrorInfo PopProcessing();
  // Enters info's digest with its time and count unless the digest is
  // already there (an existing entry stays as it is).
  void PushRecorded(const ErrorInfo& info);
  // Stamps the digest's entry with time and adds delta to its count: 1 when
  // the digest was found, -1 otherwise.
  int32_t UpdateRecorded(const std::string& digest, int64_t time, int32_t delta);

  // For tests and diagnostics.
  size_t PreProcessSize() const;
  size_t ProcessingSize() const;
  bool FindRecorded(const std::string& digest, RecordedEntry* out) const;
  size_t RecordedSize() const;

 private:
  std::deque<ErrorInfo> preprocess_;                   // guarded by preprocessLock_
  std::deque<ErrorInfo> processing_;                   // guarded by processingLock_
  std::unordered_map<std::string, RecordedEntry> recorded_;  // guarded by recordedLock_
  mutable std::mutex preprocessLock_;
  mutable std::mutex processingLock_;
  mutable std::mutex recordedLock_;
};

}  // namespace Vextra
