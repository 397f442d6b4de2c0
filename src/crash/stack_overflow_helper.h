#pragma once
// The helper that sends a stack overflow: a thread with a large stack started
// at installation, waiting for one job. A thread whose stack overflowed has
// too little left to write a dump and upload it, so it hands its exception
// pointers to the helper and waits; its pointers stay valid while it waits.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

// How long a faulting thread waits for the helper's send step.
constexpr uint32_t kHelperWaitMs = 60'000;
// The helper's stack.
constexpr uint32_t kHelperStackBytes = 2u << 20;

// Starts the helper once (later calls do nothing); false when it could not
// be started. Host threads only (installation).
bool StartStackOverflowHelper();

// Hands the send step for the exception of thread thread_id to the helper and
// waits for it at most kHelperWaitMs. False when there is no helper, or it is
// busy with another job (the caller then sends itself).
// crash path: one atomic exchange, signals an event, waits boundedly, allocates nothing.
bool SendOnStackOverflowHelper(_EXCEPTION_POINTERS* pointers, int32_t crash_kind, uint32_t thread_id);

}  // namespace Vextra
