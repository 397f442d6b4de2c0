#pragma once
// The send step of a crash: a GUID, the host's crash callback, the dump and
// its upload.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

struct CrashDumpSink;

constexpr int32_t kCrashKindVectored = 1;
constexpr int32_t kCrashKindUnhandled = 2;

// Probes of memory in progress (IsBadReadPtr): while above zero the send step
// drops every crash, as such probes raise and catch faults of their own.
// crash path: one atomic operation each.
void ProbeBegin();
void ProbeEnd();
int32_t ProbeInProgress();

// Runs the send step for an exception of the calling thread.
// crash path: allocates nothing and waits on no lock before the dump is
// written (the SDK log waits boundedly, see sdk_log.h).
void _HcSpySendException(_EXCEPTION_POINTERS* pointers, int32_t crash_kind);

// The same for an exception raised on thread thread_id (the stack-overflow
// helper sends for the faulting thread that waits for it).
// crash path: as _HcSpySendException.
void SendExceptionForThread(_EXCEPTION_POINTERS* pointers, int32_t crash_kind, uint32_t thread_id);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: the sink the send step uses; null restores the default.
void SetCrashDumpSinkForTesting(const CrashDumpSink* sink);
}  // namespace Vextra::testing_hooks
