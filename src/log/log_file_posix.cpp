#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "log/log_file.h"
#include "platform/text_encoding.h"

namespace Vextra {

LogFileHandle OpenLogFile(const std::wstring& path) {
  int fd = open(platform::WideToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  return fd >= 0 ? static_cast<LogFileHandle>(fd) : kNoLogFile;
}

void AppendToLogFile(LogFileHandle file, const char* bytes, size_t length) {
  if (file == kNoLogFile) return;
  // O_APPEND places every write at the end; a short write (a full disk, a
  // signal) continues with the rest.
  while (length > 0) {
    ssize_t written = write(static_cast<int>(file), bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
}

void CloseLogFile(LogFileHandle file) {
  if (file != kNoLogFile) close(static_cast<int>(file));
}

}  // namespace Vextra
