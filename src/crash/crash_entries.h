#pragma once
// The three ways into crash processing: the vectored handler (every exception,
// first), the process's top-level filter (exceptions nothing handled) and the
// in-catch filter the host calls from its own exception handling. Each takes
// the facts of one exception and answers what the system expects.

#include "crash/crash_context.h"
#include "crash/exception_facts.h"

struct _EXCEPTION_POINTERS;

namespace Vextra {

constexpr long kContinueSearch = 0;
constexpr long kExecuteHandler = 1;

// Always kContinueSearch; processes a crash (crash kind 1) only while the
// vectored-handler switch is on.
// crash path: tries the crash lock, allocates nothing.
long HcSpyVectoredExceptionHandler(const ExceptionFacts& facts);
// How long a crashing thread that found the crash lock taken waits, before it
// chains, for the thread that holds it to finish writing and sending.
constexpr uint32_t kWaitForCrashInProgressMs = 60000;

// Processes a crash (crash kind 2), then, when another thread is processing
// one, waits for it (at most kWaitForCrashInProgressMs), then chains to the
// host's filter and answers its result, or kExecuteHandler without one.
// crash path: tries the crash lock, waits only (bounded) for another crash to
// be sent, allocates nothing.
long HcSpyUnhandledExceptionFilter(const ExceptionFacts& facts);
// Processes the host's exception (crash kind 2) without a code or module test;
// always kContinueSearch.
// crash path: tries the crash lock, allocates nothing.
long HcSpyInCatchExceptionFilter(const ExceptionFacts& facts);

// A stack overflow, processed for the faulting thread by the helper thread
// (the faulting one has almost no stack left): the vectored handler, then the
// top-level filter with its chaining to the host's filter, in the order the
// system would call them; the system itself cannot do that on an exhausted
// stack, so the faulting thread ends the process afterwards.
// crash path: tries the crash lock, allocates nothing.
void ProcessStackOverflow(const ExceptionFacts& facts);

// Installation: the filter in force before becomes the next filter, unless it
// is the library's own (a repeated installation keeps the host's).
void KeepPreviousFilter(TopLevelFilter previous);
// The host asks for `requested` as the top-level filter while the library's
// stays on top: answers the filter in force before from the host's view (the
// current next filter), and makes `requested` (null included) the next
// filter unless it is the library's own.
// Any host thread: the next filter is one atomic pointer.
TopLevelFilter ChainHostFilter(TopLevelFilter requested);

// The same entries as the system registers and calls them.
long HcSpyVectoredExceptionHandler(_EXCEPTION_POINTERS* pointers);
long HcSpyUnhandledExceptionFilter(_EXCEPTION_POINTERS* pointers);
long HcSpyInCatchExceptionFilter(_EXCEPTION_POINTERS* pointers);

}  // namespace Vextra
