#pragma once
// The two threads that carry asynchronous error reports to the server:
// PreProcessThread moves records from the preprocess queue into the
// processing queue and the recorded store; ProcessThread sends each one and
// stamps its recorded entry. Started once, detached, never stopped.

#include <cstdint>
#include <functional>

#include "intake/exception_manager.h"

namespace Vextra {

// Sends one record; returns the answer's status or -1.
using ErrorSender = std::function<int32_t(const ErrorInfo&)>;

class PreProcessThread {
 public:
  explicit PreProcessThread(ExceptionManager* manager) : manager_(manager) {}
  void operator()() const;

 private:
  ExceptionManager* manager_;  // not owned
};

class ProcessThread {
 public:
  // A null sender sends through an error task of UploadTaskFactory.
  explicit ProcessThread(ExceptionManager* manager, ErrorSender sender = nullptr)
      : manager_(manager), sender_(std::move(sender)) {}
  void operator()() const;

 private:
  ExceptionManager* manager_;  // not owned
  ErrorSender sender_;
};

// Starts one thread running body and detaches it; false when the thread
// could not be started (body is then never run).
using ThreadLauncher = std::function<bool(std::function<void()> body)>;
// A std::thread, detached; false when the system refused the thread.
bool LaunchDetachedThread(std::function<void()> body);

// Starts PreProcessThread, then ProcessThread, for the process's manager,
// both through launch (null: LaunchDetachedThread). Neither touches a queue
// until both exist: when the second cannot be started, the first ends
// without taking anything and the result is false. When both started,
// released() runs on the calling thread before they go on (start-up sets the
// initialised flag there), then PreProcessThread runs beforeQueue (when
// given) before it takes its first record, so records queued meanwhile wait,
// in order. The caller starts them once per process.
bool StartReportThreads(const std::function<void()>& released = nullptr, std::function<void()> beforeQueue = nullptr,
                        const ThreadLauncher& launch = nullptr);

// How many pairs StartReportThreads has started in this process.
int32_t ReportThreadStarts();

}  // namespace Vextra
