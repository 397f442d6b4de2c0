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

// Starts PreProcessThread, then ProcessThread, for the process's manager and
// detaches both. The caller starts them once per process.
void StartReportThreads();

// How many pairs StartReportThreads has started in this process.
int32_t ReportThreadStarts();

}  // namespace Vextra
