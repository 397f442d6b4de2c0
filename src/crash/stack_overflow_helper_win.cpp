#include <windows.h>

#include <atomic>

#include "crash/stack_overflow_helper.h"

namespace Vextra {
namespace {

struct Helper {
  std::atomic<bool> started{false};
  std::atomic<bool> busy{false};
  std::atomic<uint32_t> thread_id{0};
  std::atomic<uint32_t> acting_for{0};  // the faulting thread of the current job
  HANDLE request = nullptr;             // auto-reset: one job was handed over
  HANDLE done = nullptr;                // auto-reset: the job is finished
  // The job, written by the faulting thread before `request` is set.
  OverflowPass pass = OverflowPass::kVectored;
  ExceptionFacts facts;
  OverflowDispatch dispatch = OverflowDispatch::kGoesOn;
  OverflowAnswer answer;
};

Helper g_helper;

DWORD WINAPI HelperLoop(void*) {
  g_helper.thread_id.store(GetCurrentThreadId());
  for (;;) {
    if (WaitForSingleObject(g_helper.request, INFINITE) != WAIT_OBJECT_0) return 1;
    g_helper.answer = ProcessStackOverflow(g_helper.pass, g_helper.facts, g_helper.dispatch);
    g_helper.acting_for.store(0);
    SetEvent(g_helper.done);
  }
}

}  // namespace

bool StartStackOverflowHelper() {
  static std::atomic<bool> tried{false};
  if (tried.exchange(true)) return g_helper.started.load();
  g_helper.request = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_helper.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_helper.request == nullptr || g_helper.done == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, kHelperStackBytes, &HelperLoop, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                               nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);
  g_helper.started.store(true, std::memory_order_release);
  return true;
}

HelperOutcome RunStackOverflowOnHelper(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                                       OverflowAnswer* answer) {
  if (!g_helper.started.load(std::memory_order_acquire)) return HelperOutcome::kNoHelper;
  if (g_helper.busy.exchange(true, std::memory_order_acq_rel)) return HelperOutcome::kBusy;
  g_helper.pass = pass;
  g_helper.facts = facts;
  g_helper.dispatch = dispatch;
  g_helper.acting_for.store(GetCurrentThreadId());
  SetEvent(g_helper.request);
  if (WaitForSingleObject(g_helper.done, kHelperWaitMs) != WAIT_OBJECT_0) return HelperOutcome::kLate;
  *answer = g_helper.answer;
  g_helper.busy.store(false, std::memory_order_release);
  return HelperOutcome::kDone;
}

uint32_t ActingThreadId(uint32_t self) {
  if (self != g_helper.thread_id.load(std::memory_order_acquire)) return self;
  const uint32_t acting = g_helper.acting_for.load(std::memory_order_acquire);
  return acting != 0 ? acting : self;
}

uint32_t StackOverflowHelperThreadId() { return g_helper.thread_id.load(std::memory_order_acquire); }

}  // namespace Vextra
