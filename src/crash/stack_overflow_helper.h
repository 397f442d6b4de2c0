#pragma once
// The helper that processes a stack overflow: a thread with a large stack
// started at installation, waiting for one job. A thread whose stack
// overflowed has too little left to decide, write a dump and upload it, so it
// hands its exception pointers to the helper and waits; its pointers stay
// valid while it waits.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

// How long a faulting thread waits for the helper.
constexpr uint32_t kHelperWaitMs = 60'000;
// The helper's stack.
constexpr uint32_t kHelperStackBytes = 2u << 20;

// Starts the helper once (later calls do nothing); false when it could not
// be started. Host threads only (installation).
bool StartStackOverflowHelper();

// Has the helper run ProcessStackOverflow for the calling thread's exception
// and waits for it at most kHelperWaitMs. False when there is no helper, or
// it is still busy with an earlier job (the caller then goes on itself).
// crash path: one atomic exchange, signals an event, waits boundedly,
// allocates nothing, uses little stack.
bool ProcessOnStackOverflowHelper(_EXCEPTION_POINTERS* pointers);

// The thread id crash processing works under: the faulting thread's while the
// helper works for it, otherwise `self`.
// crash path: two atomic loads.
uint32_t ActingThreadId(uint32_t self);

}  // namespace Vextra
