#pragma once
// The SDK log: the library's own diagnostic file, one per process run, in
// "VextraLog" beside the host executable. Debug lines are written only while
// debug mode is on; always-written lines whenever the log is enabled.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#if defined(__GNUC__)
#define VEXTRA_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define VEXTRA_PRINTF(fmt_index, first_arg)
#endif

namespace Vextra {

constexpr size_t kSdkLogMessageBytes = 1024;  // a message keeps at most 1,023 bytes

class SdkLog {
 public:
  // Lines go to files "Vextra.<time>.<pid>.log" in directory, created on the
  // first line that passes the gates.
  explicit SdkLog(std::wstring directory);
  // Closes the log (see Close).
  ~SdkLog();
  SdkLog(const SdkLog&) = delete;
  SdkLog& operator=(const SdkLog&) = delete;

  // The process's log, beside the host executable. Never fails. The instance
  // is never destroyed, so threads and teardown code may log at any time; it
  // is closed at process exit where its destructor would have run.
  static SdkLog& Instance();

  // A debug line. May be called from any thread, the crashing one included.
  void Print(const char* format, ...) VEXTRA_PRINTF(2, 3);
  // An always-written line.
  void PrintAlways(const char* format, ...) VEXTRA_PRINTF(2, 3);
  void VPrint(bool always, const char* format, va_list args);
  // Nothing is written after this, not even always-written lines.
  void Disable();
  // Appends "CLOSE LOG!\n" to an open file and closes it. Later lines are
  // dropped, so a late line can never reopen (and truncate) the file.
  void Close();

  // Path of the file lines go to; empty until the first line opened it.
  std::wstring FilePath() const;

 private:
  bool OpenLocked();

  const std::wstring directory_;
  std::atomic<bool> enabled_{true};
  mutable std::mutex mutex_;
  FILE* file_ = nullptr;    // guarded by mutex_
  std::wstring file_path_;  // guarded by mutex_
  bool closed_ = false;     // guarded by mutex_
};

// Shorthands for the process's SDK log.
void LogDebug(const char* format, ...) VEXTRA_PRINTF(1, 2);
void LogAlways(const char* format, ...) VEXTRA_PRINTF(1, 2);

}  // namespace Vextra
