#pragma once
// The SDK log: the library's own diagnostic file, one per process run, in
// "VextraLog" beside the host executable. Debug lines are written only while
// debug mode is on; always-written lines whenever the log is enabled.

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "log/log_file.h"
#include "log/owner_lock.h"

#if defined(__GNUC__)
#define VEXTRA_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define VEXTRA_PRINTF(fmt_index, first_arg)
#endif

namespace Vextra {

constexpr size_t kSdkLogMessageBytes = 1024;  // a message keeps at most 1,023 bytes

// How long a line waits for the log's lock. A holder keeps it for one write
// call, so only a holder that died or was stopped (exit, a debugger) makes a
// wait run out; the line is then written without the lock, as whole lines
// cannot interleave (see log_file.h).
constexpr uint32_t kSdkLogLineWaitMs = 1000;
// How long the closing at process exit waits before it writes without the lock.
constexpr uint32_t kSdkLogCloseWaitMs = 100;

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

  // A debug line. May be called from any thread, the crashing one included:
  // the host's text is formatted before the lock is taken, the line is built
  // on the stack, the lock is waited for at most kSdkLogLineWaitMs, and a
  // thread that re-enters the log while it holds the lock writes at once.
  // crash path: waits at most kSdkLogLineWaitMs, allocates nothing once the file is open.
  void Print(const char* format, ...) VEXTRA_PRINTF(2, 3);
  // An always-written line; the same contract as Print.
  void PrintAlways(const char* format, ...) VEXTRA_PRINTF(2, 3);
  void VPrint(bool always, const char* format, va_list args);
  // Nothing is written after this, not even always-written lines.
  void Disable();
  // Appends "CLOSE LOG!\n" to an open file and closes it. Later lines are
  // dropped, so a late line can never reopen (and truncate) the file.
  // exit path: waits for the lock at most kSdkLogCloseWaitMs; without it the
  // closing line is still written and the file is left open for the process
  // to close.
  void Close();

  // Path of the file lines go to; empty until the first line opened it.
  std::wstring FilePath() const;

  // Tests only: runs body while the calling thread holds the log's lock.
  template <typename Body>
  void HoldLockForTesting(Body&& body) {
    OwnerLockGuard guard(lock_);
    body();
  }

 private:
  // Appends one whole line; the caller holds the lock.
  void WriteLocked(const char* line, size_t length);
  // Appends one whole line without the lock (re-entry, or a holder that does
  // not let go); never races with the closing of the file.
  void WriteUnlocked(const char* line, size_t length);
  bool OpenLocked();

  const std::wstring directory_;
  std::atomic<bool> enabled_{true};
  mutable OwnerLock lock_;
  std::atomic<LogFileHandle> file_{kNoLogFile};  // set and cleared under lock_
  std::wstring file_path_;                       // guarded by lock_
  std::atomic<bool> closed_{false};
  // Writers without the lock in flight; the file is closed only when none is.
  std::atomic<int> unlocked_writers_{0};
  // Set when a wait ran out: later lines only try the lock once until it is
  // taken again, so a dead holder costs one wait, not one per line.
  std::atomic<bool> holder_stuck_{false};
};

// Shorthands for the process's SDK log.
void LogDebug(const char* format, ...) VEXTRA_PRINTF(1, 2);
void LogAlways(const char* format, ...) VEXTRA_PRINTF(1, 2);

}  // namespace Vextra
