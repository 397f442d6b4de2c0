#include "log/sdk_log.h"

#include <ctime>

#include "core/process_flags.h"
#include "log/time_stamp.h"
#include "platform/file_system.h"
#include "platform/path_text.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

std::wstring DirectoryOfExecutable() { return platform::DirectoryOf(platform::ExecutablePath()); }

}  // namespace

SdkLog::SdkLog(std::wstring directory) : directory_(std::move(directory)) {}

SdkLog::~SdkLog() { Close(); }

void SdkLog::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  if (file_ != nullptr) {
    std::fputs("CLOSE LOG!\n", file_);
    std::fflush(file_);
    std::fclose(file_);
    file_ = nullptr;
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
  if (file_ != nullptr) return true;
  platform::CreateDirectoryOneLevel(directory_);
  wchar_t name[64];
  std::swprintf(name, sizeof name / sizeof name[0], L"Vextra.%d.%d.log",
                static_cast<int>(std::time(nullptr)), static_cast<int>(platform::ProcessId()));
  std::wstring path = directory_ + platform::kPathSeparator + name;
  file_ = platform::OpenFile(path, "w");
  if (file_ != nullptr) file_path_ = path;
  return file_ != nullptr;
}

void SdkLog::VPrint(bool always, const char* format, va_list args) {
  if (!always && !IsDebugMode()) return;
  if (!enabled_.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || !OpenLocked()) return;
  char message[kSdkLogMessageBytes];
  std::vsnprintf(message, sizeof message, format, args);
  std::string stamp = LogTimeStamp();
  std::fputs(stamp.c_str(), file_);
  std::fputs(message, file_);
  std::fflush(file_);
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
  std::lock_guard<std::mutex> lock(mutex_);
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
