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

// Processes a crash (crash kind 2), then, when another live thread is
// processing one and exit has not begun, waits for it (at most
// kWaitForCrashInProgressMs on the monotonic clock), then chains to the
// host's filter and answers its result, or kExecuteHandler without one.
// crash path: tries the crash lock, waits only (bounded by a clock deadline)
// for another crash to be sent, allocates nothing.
long HcSpyUnhandledExceptionFilter(const ExceptionFacts& facts);
// Processes the host's exception (crash kind 2) without a code or module test;
// always kContinueSearch.
// crash path: tries the crash lock, allocates nothing.
long HcSpyInCatchExceptionFilter(const ExceptionFacts& facts);

constexpr long kContinueExecution = -1;

// A stack overflow leaves its thread almost no stack, so the helper thread
// (stack_overflow_helper.h) runs the entries for it. These say what the
// entries do with an overflow and what the faulting thread answers.

// The two moments at which the system offers an exception to the library.
enum class OverflowPass { kVectored, kTopLevel };

// What the system does with an overflow once the vectored handlers answered
// "continue search".
enum class OverflowDispatch {
  kGoesOn,     // walks the frame handlers, then calls the top-level filter
  kStopsHere,  // its own dispatch needs more stack than is left: the thread dies
};

// What the faulting thread does after the helper: give the system `answer`,
// or (end_process) end the process with the overflow's code.
struct OverflowAnswer {
  long answer = kContinueSearch;
  bool end_process = false;
};

// How the hand-over to the helper went.
enum class HelperOutcome {
  kDone,      // the helper processed the overflow and answered
  kLate,      // it did not finish within its wait (it may still be sending)
  kBusy,      // it is processing another overflow
  kNoHelper,  // it never started
};

// Facts of the faulting thread the helper asks for while that thread waits.
struct OverflowQueries {
  // Whether a frame handler of the thread's own (a host's __except whose
  // filter answers "execute the handler" or "continue execution") would take
  // the exception.
  bool (*frame_handler_takes_it)(const ExceptionFacts& facts);
  // Whether the thread is the host's main thread.
  bool (*on_main_thread)(const ExceptionFacts& facts);
};

// The entries for an overflow in one pass, run by the helper for the faulting
// thread by the same rules as any other crash. The vectored pass runs the
// vectored handler; where the system's dispatch stops after it, and the
// library is started with capture on, the rest of the search is decided in
// the same pass. A frame handler of the host's that takes the overflow is
// left to the system as if the library were not there (the system ends that
// thread and the host goes on), unless the thread is the host's main thread,
// without which the host cannot go on: that overflow is unhandled in effect.
// For an unhandled overflow the top-level filter (with its chaining to the
// host's filter) decides: its "continue execution" stands, any other answer
// ends the process as the system would. The top-level pass runs the top-level
// filter and answers its result.
// crash path: tries the crash lock, allocates nothing.
OverflowAnswer ProcessStackOverflow(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                                    const OverflowQueries& queries);

// Has the helper run ProcessStackOverflow(pass, facts, dispatch, ...) and
// waits for it; *answer is set on kDone.
using OverflowHelperRun = HelperOutcome (*)(OverflowPass pass, const ExceptionFacts& facts,
                                            OverflowDispatch dispatch, OverflowAnswer* answer);

// The faulting thread's side of an overflow: nothing at all before
// initialisation in the vectored pass (the system handles it), otherwise the
// helper's answer; without one, what the system would do on its own: go on
// searching, end the process where a late helper leaves a thread whose
// dispatch stops, or from the top-level filter execute the handler.
// crash path: one atomic load and the hand-over; a small frame of its own.
OverflowAnswer AnswerStackOverflow(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                                   OverflowHelperRun run_on_helper);

// Installation: the filter in force before becomes the next filter, unless it
// is the library's own (a repeated installation keeps the host's).
void KeepPreviousFilter(TopLevelFilter previous);
// The host asks for `requested` as the top-level filter while the library's
// stays on top: answers the filter in force before from the host's view (the
// current next filter), and makes `requested` (null included) the next
// filter unless it is the library's own.
// Any host thread: the next filter is one atomic pointer.
TopLevelFilter ChainHostFilter(TopLevelFilter requested);

// The same entries as the system registers and calls them. The top-level
// filter hands a stack overflow to the helper (AnswerStackOverflow).
// crash path: as the entries above.
long HcSpyVectoredExceptionHandler(_EXCEPTION_POINTERS* pointers);
long HcSpyUnhandledExceptionFilter(_EXCEPTION_POINTERS* pointers);
long HcSpyInCatchExceptionFilter(_EXCEPTION_POINTERS* pointers);

}  // namespace Vextra
