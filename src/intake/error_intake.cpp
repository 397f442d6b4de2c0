#include "intake/error_intake.h"

#include <atomic>
#include <ctime>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "core/process_flags.h"
#include "intake/exception_manager.h"
#include "intake/report_semaphore.h"
#include "intake/stack_digest.h"
#include "log/sdk_log.h"

namespace Vextra {
namespace {

// End of the last synchronous upload, seconds since the epoch; 0 before the
// first. Two threads reporting synchronously at once may both pass the check.
std::atomic<int32_t> g_last_sync_report_time{0};

struct TestOverrides {
  std::mutex mutex;
  std::function<int64_t()> clock;
  std::function<int32_t(const ErrorInfo&)> sender;
};

TestOverrides& Overrides() {
  static TestOverrides* overrides = new TestOverrides;
  return *overrides;
}

int64_t NowSeconds() {
  TestOverrides& o = Overrides();
  std::function<int64_t()> clock;
  {
    std::lock_guard<std::mutex> lock(o.mutex);
    clock = o.clock;
  }
  return clock ? clock() : static_cast<int64_t>(std::time(nullptr));
}

int32_t SendSynchronously(const ErrorInfo& info) {
  TestOverrides& o = Overrides();
  std::function<int32_t(const ErrorInfo&)> sender;
  {
    std::lock_guard<std::mutex> lock(o.mutex);
    sender = o.sender;
  }
  return sender ? sender(info) : SendErrorRecord(info);
}

}  // namespace

bool SyncReportAllowed(int64_t now, int32_t last_end) {
  const int32_t elapsed = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last_end));
  return elapsed >= kSyncReportIntervalSeconds;
}

ErrorInfo MakeErrorInfo(int32_t type, const char* name, const char* message, const char* stack,
                        const char* extra_info, const wchar_t* log_path) {
  ErrorInfo info;
  info.type = type;
  info.name = name;
  info.message = message;
  info.stack = stack;
  const size_t extra_length = std::strlen(extra_info);
  if (extra_length < kExtraInfoLimit) {
    info.extraInfo.assign(extra_info, extra_length);
  } else {
    LogDebug("Extra info over limit! (1MB) Will not upload it.\n");
  }
  info.isEmpty = false;
  if (log_path != nullptr) {
    // The field holds 259 characters and a terminator; a longer path is cut.
    info.logPath.assign(log_path, wcsnlen(log_path, kErrorLogPathChars - 1));
  }
  info.stackDigest = StackDigest(info.stack);
  return info;
}

void ReportError(int32_t type, const char* name, const char* message, const char* stack, const char* extra_info,
                 bool asynchronous, const wchar_t* log_path) {
  if (!IsInitialized()) {
    LogDebug("reportException:Please init Vextra first!\n");
    return;
  }
  if (name == nullptr || extra_info == nullptr || message == nullptr || stack == nullptr) {
    LogDebug("ReportException error: parameters is null\n");
    return;
  }
  LogAlways("reportException\n");
  LogDebug("reportException stack trace size is %d\n", static_cast<int>(std::strlen(stack)));
  LogDebug("reportException isasync %d\n", asynchronous ? 1 : 0);

  ErrorInfo info = MakeErrorInfo(type, name, message, stack, extra_info, log_path);
  if (asynchronous) {
    ExceptionManager::Instance().PushPreProcess(info);
    PreprocessSemaphore().Release();
    return;
  }
  if (!SyncReportAllowed(NowSeconds(), g_last_sync_report_time.load(std::memory_order_relaxed))) {
    LogDebug("Refused to upload exception because of interval limit.\n");
    return;
  }
  SendSynchronously(info);
  // Measured from the end of the upload, so a slow exchange does not shorten
  // the pause before the next one.
  g_last_sync_report_time.store(static_cast<int32_t>(NowSeconds()), std::memory_order_relaxed);
}

}  // namespace Vextra

namespace Vextra::testing_hooks {

void SetIntakeClockForTesting(std::function<int64_t()> clock) {
  std::lock_guard<std::mutex> lock(Overrides().mutex);
  Overrides().clock = std::move(clock);
}

void SetSyncSenderForTesting(std::function<int32_t(const ErrorInfo&)> sender) {
  std::lock_guard<std::mutex> lock(Overrides().mutex);
  Overrides().sender = std::move(sender);
}

void SetLastSyncReportTimeForTesting(int32_t seconds) { g_last_sync_report_time.store(seconds); }
int32_t LastSyncReportTimeForTesting() { return g_last_sync_report_time.load(); }

}  // namespace Vextra::testing_hooks
