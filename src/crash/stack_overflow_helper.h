#pragma once
// The helper that runs the crash entries for a thread whose stack overflowed:
// a thread with a large stack started at installation, taking one job at a
// time. The faulting thread has too little stack left to decide, write a dump
// and upload it, so it hands the facts of its exception to the helper and
// waits for the entries' answer; its exception pointers stay valid while it
// waits.

#include <cstdint>

#include "crash/crash_entries.h"

namespace Vextra {

// How long a faulting thread waits for the helper. The longest the helper
// may need: the top-level filter's wait for another thread's crash
// (kWaitForCrashInProgressMs, 60 s), two dumps (the full one and its small
// companion, each up to a minute on a loaded machine under Wine), and the
// upload (a connection may take up to 300 s, then 5 s each to write and
// read): about 8 minutes, rounded up. Only a helper stuck for good makes the
// faulting thread wait this long.
constexpr uint32_t kHelperWaitMs = 600'000;
// The helper's stack.
constexpr uint32_t kHelperStackBytes = 2u << 20;

// Starts the helper once (later calls do nothing); false when it could not
// be started. Host threads only (installation).
bool StartStackOverflowHelper();

// Has the helper run ProcessStackOverflow(pass, facts, dispatch) for the
// calling thread and waits at most kHelperWaitMs; on kDone *answer is the
// helper's. A late helper keeps its job (and stays busy), so no later job can
// overwrite the facts it still reads.
// crash path: one atomic exchange, signals an event, waits boundedly,
// allocates nothing, uses little stack.
HelperOutcome RunStackOverflowOnHelper(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                                       OverflowAnswer* answer);

// The thread id crash processing works under: the faulting thread's while the
// helper works for it, otherwise `self`.
// crash path: two atomic loads.
uint32_t ActingThreadId(uint32_t self);

// The helper's own thread id, 0 before it runs: a dump written for another
// thread leaves the writing helper out.
// crash path: one atomic load.
uint32_t StackOverflowHelperThreadId();

}  // namespace Vextra
