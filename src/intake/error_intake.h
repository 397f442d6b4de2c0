#pragma once
// Error intake: validates a host's error report, builds its ErrorInfo and
// either sends it at once on the caller's thread (synchronous, at most one
// upload per 5 seconds) or queues it for the report threads (asynchronous,
// never refused).

#include <cstdint>
#include <functional>

#include "report/error_info.h"

namespace Vextra {

// Seconds a synchronous report waits after the end of the previous
// synchronous upload.
constexpr int32_t kSyncReportIntervalSeconds = 5;
// extraInfo of this many bytes or more is left out of the report.
constexpr size_t kExtraInfoLimit = 0x100000;

// Whether a synchronous report at now (seconds since the epoch) may go out
// when the previous synchronous upload ended at last_end (0: none yet). The
// difference is taken as a signed 32-bit number, so after the clock is set
// back reports wait until it is again 5 seconds past last_end.
bool SyncReportAllowed(int64_t now, int32_t last_end);

// The record the intake builds from the host's arguments (none null):
// extraInfo over the limit is left empty, logPath is cut to fit its field,
// the stack digest is filled and isEmpty is false.
ErrorInfo MakeErrorInfo(int32_t type, const char* name, const char* message, const char* stack,
                        const char* extra_info, const wchar_t* log_path);

// Sends one record as an error report (command 830, type 107) on the calling
// thread and returns the answer's status, -1 without one.
int32_t SendErrorRecord(const ErrorInfo& info);

// The body of reportException. Any host thread.
void ReportError(int32_t type, const char* name, const char* message, const char* stack, const char* extra_info,
                 bool asynchronous, const wchar_t* log_path);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: the clock of the interval rule and the synchronous sender
// (null restores the real ones), and the end of the last synchronous upload.
void SetIntakeClockForTesting(std::function<int64_t()> clock);
void SetSyncSenderForTesting(std::function<int32_t(const ErrorInfo&)> sender);
void SetLastSyncReportTimeForTesting(int32_t seconds);
int32_t LastSyncReportTimeForTesting();
}  // namespace Vextra::testing_hooks
