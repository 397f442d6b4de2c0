#include "crash/crash_entries.h"

#include "core/process_flags.h"
#include "crash/crash_context.h"
#include "crash/crash_decisions.h"
#include "crash/crash_options.h"
#include "crash/crash_platform.h"
#include "crash/send_exception.h"
#include "crash/stack_overflow_helper.h"
#include "log/sdk_log.h"

namespace Vextra {
namespace {

// The log lines print the address as 32 bits, as the system's own lines do.
unsigned Low32(uintptr_t address) { return static_cast<unsigned>(address); }
void* AsPointer(uintptr_t address) { return reinterpret_cast<void*>(address); }

// The shared processing of the two filters: under the crash lock, a new
// address is remembered and sent with crash kind 2.
void ProcessAsFilter(const ExceptionFacts& facts, uint32_t thread_id) {
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  CrashLockTry lock(context.crash_lock, thread_id);
  if (!lock.held()) return;
  if (facts.flags & kNonContinuableFlag) {
    LogDebug("Unhandle Ex EXCEPTION_NONCONTINUABLE 0x%08x thread id (%d)\n", facts.code, static_cast<int>(thread_id));
  } else {
    LogDebug("Unhandle Ex Start 0x%08x address 0x%08x thread id (%d)\n", facts.code, Low32(facts.address),
             static_cast<int>(thread_id));
  }
  if (facts.address == context.last_crash_address) return;
  context.last_crash_address = facts.address;
  if (context.RememberCrashAddress(facts.address)) {
    _HcSpySendException(facts.pointers, kCrashKindUnhandled);
  } else {
    LogDebug("SEH:dump has already create addr(%p)\n", AsPointer(facts.address));
  }
}

}  // namespace

long HcSpyVectoredExceptionHandler(const ExceptionFacts& facts) {
  if (!IsInitialized()) return kContinueSearch;
  LogDebug("Exception occured.\n");
  if (!IsVehEnabled()) {
    LogDebug("VEH Filter is closed.\n");
    return kContinueSearch;
  }
  if (!facts.has_record || !IsCrashExceptionCode(facts.code) || !IsCaptureEnabled()) return kContinueSearch;
  const CrashPlatform& platform = CurrentCrashPlatform();
  if (IsInIgnoredModule(facts.address)) return kContinueSearch;
  platform.refresh_ignored_modules();
  if (IsInIgnoredModule(facts.address)) return kContinueSearch;

  const uint32_t thread_id = platform.thread_id();
  if (facts.flags & kNonContinuableFlag) {
    LogDebug("Vector Ex EXCEPTION_NONCONTINUABLE 0x%08x thread id(%d)\n", facts.code, static_cast<int>(thread_id));
  } else {
    LogDebug("Vector Ex Start 0x%08x address 0x%08x thread id (%d)\n", facts.code, Low32(facts.address),
             static_cast<int>(thread_id));
  }
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  CrashLockTry lock(context.crash_lock, thread_id);
  if (!lock.held()) return kContinueSearch;
  LogDebug("pre_exception_address is %p and ExceptionAddress is %p.\n", AsPointer(context.last_crash_address),
           AsPointer(facts.address));
  if (facts.address != context.last_crash_address || !context.crash_handled.load(std::memory_order_acquire)) {
    context.crash_handled.store(true, std::memory_order_release);
    context.last_crash_time.store(platform.now(), std::memory_order_release);
    context.last_crash_address = facts.address;
    if (context.RememberCrashAddress(facts.address)) {
      _HcSpySendException(facts.pointers, kCrashKindVectored);
    } else {
      LogDebug("VEH:dump has already created addr(%p)\n", AsPointer(facts.address));
    }
  }
  return kContinueSearch;
}

namespace {

// The filter's steps up to "Crash Processing Finished."; false when the
// filter answers *result without chaining.
bool ProcessUnhandled(const ExceptionFacts& facts, long* result) {
  *result = kExecuteHandler;
  if (!IsInitialized()) return false;
  const CrashPlatform& platform = CurrentCrashPlatform();
  const uint32_t thread_id = platform.thread_id();
  LogDebug("Unhandle HcSpyUnhandledExceptionFilter, thread id (%d)\n", static_cast<int>(thread_id));
  if (!facts.has_record) {
    LogDebug("exception or exception record is null, stop processing.\n");
    return false;
  }
  LogDebug("exception code is %x\n", facts.code);
  // Already in the table: left to the system's default handling; found only
  // by the refresh: the process ends quietly.
  if (IsInIgnoredModule(facts.address)) {
    *result = kContinueSearch;
    return false;
  }
  platform.refresh_ignored_modules();
  if (IsInIgnoredModule(facts.address)) return false;

  if (IsCaptureEnabled()) ProcessAsFilter(facts, thread_id);
  LogDebug("Crash Processing Finished.\n");
  return true;
}

}  // namespace

long HcSpyUnhandledExceptionFilter(const ExceptionFacts& facts) {
  long result = kExecuteHandler;
  if (!ProcessUnhandled(facts, &result)) return result;
  // Another thread is writing and sending a crash: answering now would let
  // the system end the process under it and lose that report, so this
  // thread holds back (for a bounded time) before it chains.
  // It stops early once exit has begun (nothing more will be sent) or when
  // the holder's thread is gone (nothing will let go).
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  const CrashPlatform& platform = CurrentCrashPlatform();
  context.crash_lock.WaitWhileHeldByAnother(platform.thread_id(), kWaitForCrashInProgressMs, platform,
                                            context.enabled);

  const TopLevelFilter next = context.next_filter.load(std::memory_order_acquire);
  const TopLevelFilter ours = &HcSpyUnhandledExceptionFilter;
  if (next != nullptr && next != ours) return next(facts.pointers);
  return kExecuteHandler;
}

OverflowAnswer ProcessStackOverflow(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                                    const OverflowQueries& queries) {
  OverflowAnswer outcome;
  if (pass == OverflowPass::kTopLevel) {
    outcome.answer = HcSpyUnhandledExceptionFilter(facts);
    return outcome;
  }
  outcome.answer = HcSpyVectoredExceptionHandler(facts);
  if (dispatch == OverflowDispatch::kGoesOn || !IsInitialized() || !IsCaptureEnabled()) return outcome;
  // The host handles its own overflow: the system goes on with it as it
  // would without the library.
  if (queries.frame_handler_takes_it(facts) && !queries.on_main_thread(facts)) {
    LogDebug("stack overflow left to the host's own handler\n");
    return outcome;
  }
  // Nothing after this pass will reach the frame handlers or the top-level
  // filter, so the filter decides now, as at the end of an unanswered search.
  const long filter = HcSpyUnhandledExceptionFilter(facts);
  if (filter == kContinueExecution) {
    outcome.answer = kContinueExecution;
  } else {
    outcome.answer = kContinueSearch;
    outcome.end_process = true;
  }
  return outcome;
}

OverflowAnswer AnswerStackOverflow(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                                   OverflowHelperRun run_on_helper) {
  OverflowAnswer answer;
  const bool top_level = pass == OverflowPass::kTopLevel;
  if (!top_level && !IsInitialized()) return answer;
  switch (run_on_helper(pass, facts, dispatch, &answer)) {
    case HelperOutcome::kDone:
      return answer;
    case HelperOutcome::kLate:
      answer = OverflowAnswer{};
      if (top_level) {
        answer.answer = kExecuteHandler;
      } else {
        answer.end_process = dispatch == OverflowDispatch::kStopsHere;
      }
      return answer;
    case HelperOutcome::kBusy:
    case HelperOutcome::kNoHelper:
      break;
  }
  answer = OverflowAnswer{};
  if (top_level) answer.answer = kExecuteHandler;
  return answer;
}

long HcSpyInCatchExceptionFilter(const ExceptionFacts& facts) {
  if (!IsInitialized()) return kContinueSearch;
  const uint32_t thread_id = CurrentCrashPlatform().thread_id();
  LogDebug("HcSpyInCatchExceptionFilter, thread id (%d)\n", static_cast<int>(thread_id));
  if (!facts.has_record) {
    LogDebug("exception or exception record is null, stop processing.\n");
    return kContinueSearch;
  }
  LogDebug("exception code is %x\n", facts.code);
  if (IsCaptureEnabled()) ProcessAsFilter(facts, thread_id);
  LogDebug("Crash Processing Finished.\n");
  return kContinueSearch;
}

void KeepPreviousFilter(TopLevelFilter previous) {
  if (previous == static_cast<TopLevelFilter>(&HcSpyUnhandledExceptionFilter)) return;
  CHcSpyGlobal::Instance().next_filter.store(previous, std::memory_order_release);
}

TopLevelFilter ChainHostFilter(TopLevelFilter requested) {
  std::atomic<TopLevelFilter>& next = CHcSpyGlobal::Instance().next_filter;
  if (requested == static_cast<TopLevelFilter>(&HcSpyUnhandledExceptionFilter)) {
    return next.load(std::memory_order_acquire);
  }
  return next.exchange(requested, std::memory_order_acq_rel);
}

long HcSpyVectoredExceptionHandler(_EXCEPTION_POINTERS* pointers) {
  return HcSpyVectoredExceptionHandler(ExceptionFactsOf(pointers));
}
long HcSpyUnhandledExceptionFilter(_EXCEPTION_POINTERS* pointers) {
  const ExceptionFacts facts = ExceptionFactsOf(pointers);
  if (facts.has_record && facts.code == kStackOverflowCode) {
    // Only the helper has the stack for the filter's work.
    return AnswerStackOverflow(OverflowPass::kTopLevel, facts, OverflowDispatch::kGoesOn, &RunStackOverflowOnHelper)
        .answer;
  }
  return HcSpyUnhandledExceptionFilter(facts);
}
long HcSpyInCatchExceptionFilter(_EXCEPTION_POINTERS* pointers) {
  return HcSpyInCatchExceptionFilter(ExceptionFactsOf(pointers));
}

}  // namespace Vextra
