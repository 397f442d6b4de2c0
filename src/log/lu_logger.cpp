#include "log/lu_logger.h"

#include <cstdarg>

#include "log/time_stamp.h"

namespace Vextra {

LuLogger::LuLogger() : buffer_(new char[kSdkLogMessageBytes]) {}

LuLogger::~LuLogger() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (enabled_ && output_ != nullptr) {
    std::fputs("CLOSE LOG!\n", output_);
    std::fflush(output_);
    std::fclose(output_);
    output_ = nullptr;
  }
  enabled_ = false;
}

bool LuLogger::IsEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_;
}

const char* LuLogger::LevelPrefix(int32_t level) {
  static const char* const kPrefixes[] = {"V:", "D:", "I:", "W:", "A:", "E:", "Ex:"};
  return level >= 0 && level <= 6 ? kPrefixes[level] : "U:";
}

void LuLogger::AttachOutput(FILE* file) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (output_ != nullptr) std::fclose(output_);
  output_ = file;
}

void LuLogger::Log(int32_t level, const char* format, ...) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (output_ == nullptr || !enabled_) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer_.get(), kSdkLogMessageBytes, format, args);
  va_end(args);
  std::string stamp = LogTimeStamp();
  std::fprintf(output_, "%s%s%s\n", stamp.c_str(), LevelPrefix(level), buffer_.get());
  std::fflush(output_);
}

}  // namespace Vextra
