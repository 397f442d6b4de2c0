#include "log/lu_logger.h"

#include <cstdarg>

#include "log/time_stamp.h"

namespace Vextra {

LuLogger::LuLogger() : buffer_(new char[kSdkLogMessageBytes]) {}

LuLogger::~LuLogger() {
  OwnerLockGuard guard(lock_, kSdkLogCloseWaitMs);
  if (!guard.Acquired()) return;
  if (enabled_ && output_ != nullptr) {
    std::fputs("CLOSE LOG!\n", output_);
    std::fflush(output_);
    std::fclose(output_);
    output_ = nullptr;
  }
  enabled_ = false;
}

LuLogger& LuLogger::Instance() {
  static LuLogger* const logger = new LuLogger();
  return *logger;
}

bool LuLogger::IsEnabled() const {
  OwnerLockGuard guard(lock_, kSdkLogLineWaitMs);
  return guard.Acquired() && enabled_;
}

const char* LuLogger::LevelPrefix(int32_t level) {
  static const char* const kPrefixes[] = {"V:", "D:", "I:", "W:", "A:", "E:", "Ex:"};
  return level >= 0 && level <= 6 ? kPrefixes[level] : "U:";
}

void LuLogger::AttachOutput(FILE* file) {
  OwnerLockGuard guard(lock_);
  if (output_ != nullptr) std::fclose(output_);
  output_ = file;
}

void LuLogger::Log(int32_t level, const char* format, ...) {
  OwnerLockGuard guard(lock_, kSdkLogLineWaitMs);
  if (!guard.Acquired() || output_ == nullptr || !enabled_ || format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer_.get(), kSdkLogMessageBytes, format, args);
  va_end(args);
  char stamp[kLogTimeStampBytes];
  WriteLogTimeStamp(stamp);
  std::fprintf(output_, "%s%s%s\n", stamp, LevelPrefix(level), buffer_.get());
  std::fflush(output_);
}

}  // namespace Vextra
