#pragma once
// The helper that runs crash entries for a thread whose stack overflowed: a
// thread with a large stack started at installation, taking one job at a
// time. The faulting thread has too little stack left to decide, write a dump
// and upload it, so it hands its exception pointers and the entry to run to
// the helper and waits for the entry's answer; its pointers stay valid while
// it waits.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

// How long a faulting thread waits for the helper.
constexpr uint32_t kHelperWaitMs = 60'000;
// The helper's stack.
constexpr uint32_t kHelperStackBytes = 2u << 20;

// The stack each thread keeps back for its own overflow: the system raises
// the overflow while this much is still free, enough for the exception's
// dispatch to reach the handlers and filters and wait there for the helper.
constexpr uint32_t kOverflowReserveBytes = 64u << 10;

// An entry as the helper runs it, with the faulting thread's pointers.
using HelperEntry = long (*)(_EXCEPTION_POINTERS* pointers);

// Starts the helper once (later calls do nothing); false when it could not
// be started. Host threads only (installation).
bool StartStackOverflowHelper();

// Keeps kOverflowReserveBytes of the calling thread's stack back for the
// dispatch of its overflow (once the helper runs; nothing otherwise).
// Installation thread, and each thread the process starts afterwards.
void ReserveOverflowStack();

// Has the helper run `entry` for the calling thread's exception and waits
// for it at most kHelperWaitMs; *result is then the entry's answer, or
// `on_timeout` when the helper did not finish in time. False (and *result
// untouched) when there is no helper, or it is still busy with an earlier
// job: the caller then runs the entry itself.
// crash path: one atomic exchange, signals an event, waits boundedly,
// allocates nothing, uses little stack.
bool RunOnStackOverflowHelper(HelperEntry entry, _EXCEPTION_POINTERS* pointers, long on_timeout, long* result);

// The thread id crash processing works under: the faulting thread's while the
// helper works for it, otherwise `self`.
// crash path: two atomic loads.
uint32_t ActingThreadId(uint32_t self);

}  // namespace Vextra
