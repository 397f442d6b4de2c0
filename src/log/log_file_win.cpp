#include <windows.h>

#include "log/log_file.h"

namespace Vextra {
namespace {

HANDLE AsHandle(LogFileHandle file) { return reinterpret_cast<HANDLE>(file); }

// Writes at the end of the file whatever the file position is: the offset
// 0xFFFFFFFF:0xFFFFFFFF asks the system for an atomic append.
void WriteAtEnd(HANDLE file, const char* bytes, DWORD length) {
  OVERLAPPED at_end{};
  at_end.Offset = 0xFFFFFFFF;
  at_end.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  WriteFile(file, bytes, length, &written, &at_end);
}

}  // namespace

LogFileHandle OpenLogFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kNoLogFile : reinterpret_cast<LogFileHandle>(file);
}

void AppendToLogFile(LogFileHandle file, const char* bytes, size_t length) {
  if (file == kNoLogFile) return;
  // A log line (at most 1,048 bytes) fits one piece even when every byte is a
  // line end; longer texts go out in several appends.
  char text[4096];
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    if (used + 2 > sizeof text) {
      WriteAtEnd(AsHandle(file), text, static_cast<DWORD>(used));
      used = 0;
    }
    if (bytes[i] == '\n') text[used++] = '\r';
    text[used++] = bytes[i];
  }
  if (used > 0) WriteAtEnd(AsHandle(file), text, static_cast<DWORD>(used));
}

void CloseLogFile(LogFileHandle file) {
  if (file != kNoLogFile) CloseHandle(AsHandle(file));
}

}  // namespace Vextra
