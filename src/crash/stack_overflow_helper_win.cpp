#include <windows.h>

#include <atomic>

#include "crash/crash_entries.h"
#include "crash/exception_facts.h"
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
  _EXCEPTION_POINTERS* pointers = nullptr;
};

Helper g_helper;

DWORD WINAPI HelperLoop(void*) {
  g_helper.thread_id.store(GetCurrentThreadId());
  for (;;) {
    if (WaitForSingleObject(g_helper.request, INFINITE) != WAIT_OBJECT_0) return 1;
    ProcessStackOverflow(ExceptionFactsOf(g_helper.pointers));
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

bool ProcessOnStackOverflowHelper(_EXCEPTION_POINTERS* pointers) {
  if (!g_helper.started.load(std::memory_order_acquire)) return false;
  if (g_helper.busy.exchange(true, std::memory_order_acq_rel)) return false;
  g_helper.pointers = pointers;
  g_helper.acting_for.store(GetCurrentThreadId());
  SetEvent(g_helper.request);
  // A helper that does not finish in time keeps the job (and stays busy), so
  // no second job can overwrite the pointers it still reads.
  if (WaitForSingleObject(g_helper.done, kHelperWaitMs) == WAIT_OBJECT_0) {
    g_helper.busy.store(false, std::memory_order_release);
  }
  return true;
}

uint32_t ActingThreadId(uint32_t self) {
  if (self != g_helper.thread_id.load(std::memory_order_acquire)) return self;
  const uint32_t acting = g_helper.acting_for.load(std::memory_order_acquire);
  return acting != 0 ? acting : self;
}

}  // namespace Vextra
