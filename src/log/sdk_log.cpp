#include "log/sdk_log.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/process_flags.h"
#include "log/time_stamp.h"
#include "platform/file_system.h"
#include "platform/path_text.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

std::wstring DirectoryOfExecutable() { return platform::DirectoryOf(platform::ExecutablePath()); }

constexpr size_t kStampChars = kLogTimeStampBytes - 1;  // the stamp and its ":"
constexpr char kCloseLine[] = "CLOSE LOG!\n";

}  // namespace

SdkLog::SdkLog(std::wstring directory) : directory_(std::move(directory)) {}

SdkLog::~SdkLog() {
  Close();
  // Nobody uses a destroyed log, so a file that Close had to leave open goes now.
  CloseLogFile(file_.exchange(kNoLogFile));
}

void SdkLog::Close() {
  OwnerLockGuard guard(lock_, kSdkLogCloseWaitMs);
  if (closed_.exchange(true)) return;
  const LogFileHandle file = file_.load();
  if (file == kNoLogFile) return;
  AppendToLogFile(file, kCloseLine, sizeof kCloseLine - 1);
  // A writer without the lock checks closed_ after announcing itself, so once
  // none is counted here none can still reach the handle.
  if (guard.Acquired() && unlocked_writers_.load() == 0) {
    file_.store(kNoLogFile);
    CloseLogFile(file);
  }
}

SdkLog& SdkLog::Instance() {
  // Lines can still arrive while the process exits (library threads, unload
  // code running after the static destructors), so the object itself stays.
  static SdkLog* const log = new SdkLog(DirectoryOfExecutable() + platform::kPathSeparator + L"VextraLog");
  static const struct Closer {
    ~Closer() { log->Close(); }
  } closer;
  return *log;
}

bool SdkLog::OpenLocked() {
  if (file_.load(std::memory_order_relaxed) != kNoLogFile) return true;
  platform::CreateDirectoryOneLevel(directory_);
  wchar_t name[64];
  std::swprintf(name, sizeof name / sizeof name[0], L"Vextra.%d.%d.log",
                static_cast<int>(WallClockSeconds()), static_cast<int>(platform::ProcessId()));
  std::wstring path = directory_ + platform::kPathSeparator + name;
  const LogFileHandle file = OpenLogFile(path);
  if (file == kNoLogFile) return false;
  file_path_ = path;
  file_.store(file);
  return true;
}

void SdkLog::WriteLocked(const char* line, size_t length) {
  if (closed_.load() || !OpenLocked()) return;
  AppendToLogFile(file_.load(std::memory_order_relaxed), line, length);
}

void SdkLog::WriteUnlocked(const char* line, size_t length) {
  unlocked_writers_.fetch_add(1);
  if (!closed_.load()) AppendToLogFile(file_.load(), line, length);
  unlocked_writers_.fetch_sub(1);
}

void SdkLog::VPrint(bool always, const char* format, va_list args) {
  if (!always && !IsDebugMode()) return;
  if (!enabled_.load(std::memory_order_relaxed) || closed_.load(std::memory_order_relaxed)) return;
  if (format == nullptr) return;
  // The whole line is built on the stack before the lock is taken: a bad host
  // pointer faults here, where a handler that logs finds the lock free.
  char line[kStampChars + kSdkLogMessageBytes];
  char* message = line + kStampChars;
  if (std::vsnprintf(message, kSdkLogMessageBytes, format, args) < 0) message[0] = '\0';
  char stamp[kLogTimeStampBytes];
  WriteLogTimeStamp(stamp);
  std::memcpy(line, stamp, kStampChars);
  // The message ends at its first zero byte, as a C text written by fputs did.
  const size_t length = kStampChars + std::strlen(message);

  const uint32_t wait = holder_stuck_.load(std::memory_order_relaxed) ? 0 : kSdkLogLineWaitMs;
  switch (lock_.TryLockFor(wait)) {
    case OwnerLock::Outcome::kAcquired:
      if (holder_stuck_.load(std::memory_order_relaxed)) holder_stuck_.store(false, std::memory_order_relaxed);
      WriteLocked(line, length);
      lock_.Unlock();
      break;
    case OwnerLock::Outcome::kHeldByThisThread:
      // Re-entered from inside a write of this thread (a fault handler that
      // logs): the file is open and one append cannot split a line.
      WriteUnlocked(line, length);
      break;
    case OwnerLock::Outcome::kTimedOut:
      holder_stuck_.store(true, std::memory_order_relaxed);
      WriteUnlocked(line, length);
      break;
  }
}

void SdkLog::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(false, format, args);
  va_end(args);
}

void SdkLog::PrintAlways(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(true, format, args);
  va_end(args);
}

void SdkLog::Disable() { enabled_.store(false, std::memory_order_relaxed); }

std::wstring SdkLog::FilePath() const {
  OwnerLockGuard guard(lock_, kSdkLogLineWaitMs);
  if (guard.outcome() == OwnerLock::Outcome::kTimedOut) return {};
  return file_path_;
}

void LogDebug(const char* format, ...) {
  if (!IsDebugMode()) return;  // cheap exit before touching the instance
  va_list args;
  va_start(args, format);
  SdkLog::Instance().VPrint(false, format, args);
  va_end(args);
}

void LogAlways(const char* format, ...) {
  va_list args;
  va_start(args, format);
  SdkLog::Instance().VPrint(true, format, args);
  va_end(args);
}

}  // namespace Vextra
