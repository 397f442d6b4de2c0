#include "intake/report_threads.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "crash/library_threads.h"
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

// Holds both new report threads until the starter knows whether both exist.
class StartGate {
 public:
  // Blocks until Open; true when the threads are to run.
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return state_ != State::kClosed; });
    return state_ == State::kRun;
  }
  void Open(bool run) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_ = run ? State::kRun : State::kEnd;
    }
    opened_.notify_all();
  }

 private:
  enum class State { kClosed, kRun, kEnd };
  std::mutex mutex_;
  std::condition_variable opened_;
  State state_ = State::kClosed;  // guarded by mutex_
};

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

bool LaunchDetachedThread(std::function<void()> body) {
  try {
    std::thread([body = std::move(body)] {
      PrepareLibraryThreadForCrashes();
      body();
    }).detach();
    return true;
  } catch (...) {
    return false;  // std::system_error: no thread for us
  }
}

bool StartReportThreads(const std::function<void()>& released, std::function<void()> beforeQueue,
                        const ThreadLauncher& launch) {
  const ThreadLauncher& start = launch ? launch : ThreadLauncher(LaunchDetachedThread);
  ExceptionManager* manager = &ExceptionManager::Instance();
  auto gate = std::make_shared<StartGate>();
  const bool first = start([gate, manager, beforeQueue = std::move(beforeQueue)] {
    if (!gate->Wait()) return;
    if (beforeQueue) {
      try {
        beforeQueue();
      } catch (...) {
        // Only memory exhaustion throws there; the queue is served all the same.
      }
    }
    PreProcessThread{manager}();
  });
  if (!first) return false;
  const bool second = start([gate, manager] {
    if (gate->Wait()) ProcessThread{manager}();
  });
  bool run = second;
  if (run && released) {
    try {
      released();
    } catch (...) {
      run = false;  // memory exhaustion: the threads end unused
    }
  }
  gate->Open(run);
  if (run) g_thread_starts.fetch_add(1);
  return run;
}

int32_t ReportThreadStarts() { return g_thread_starts.load(); }

}  // namespace Vextra
