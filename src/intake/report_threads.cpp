#include "intake/report_threads.h"

#include <atomic>
#include <ctime>
#include <thread>

#include "intake/error_intake.h"
#include "intake/report_semaphore.h"
#include "intake/thread_name.h"
#include "log/sdk_log.h"

namespace Vextra {
namespace {

// Nothing clears them: the loops end only with the process.
std::atomic<bool> g_preprocess_running{true};
std::atomic<bool> g_process_running{true};
std::atomic<int32_t> g_thread_starts{0};

}  // namespace

void PreProcessThread::operator()() const {
  SetThreadName("VX-PreProcessThread");
  for (;;) {
    PreprocessSemaphore().Acquire();
    if (!g_preprocess_running.load(std::memory_order_relaxed)) return;
    LogDebug("Preprocess errors.\n");
    ErrorInfo info = manager_->PopPreProcess();
    if (info.isEmpty) LogAlways("Preprocess get an empty error_info.");
    manager_->PushProcessing(info);
    manager_->PushRecorded(info);
    LogDebug("Push an error info.\n");
    ProcessSemaphore().Release();
  }
}

void ProcessThread::operator()() const {
  SetThreadName("VX-ProcessThread");
  for (;;) {
    ProcessSemaphore().Acquire();
    if (!g_process_running.load(std::memory_order_relaxed)) return;
    ErrorInfo info = manager_->PopProcessing();
    if (info.isEmpty) {
      LogAlways("Processing errors but error_info is empty.\n");
      continue;
    }
    LogDebug("Processing errors with stack %s, count: %d.\n", info.stack.c_str(), static_cast<int>(info.count));
    // A failed upload is not retried here: its data file and record are what
    // the next start sends again.
    try {
      if (sender_) {
        sender_(info);
      } else {
        SendErrorRecord(info);
      }
    } catch (...) {
      // Only memory exhaustion throws on this path; the report is lost, the
      // thread goes on with the next one.
    }
    manager_->UpdateRecorded(info.stackDigest, static_cast<int64_t>(std::time(nullptr)), -info.count);
  }
}

void StartReportThreads() {
  ExceptionManager* manager = &ExceptionManager::Instance();
  std::thread(PreProcessThread(manager)).detach();
  std::thread(ProcessThread(manager)).detach();
  g_thread_starts.fetch_add(1);
}

int32_t ReportThreadStarts() { return g_thread_starts.load(); }

}  // namespace Vextra
