#include "app/start_up_guard.h"

#include <windows.h>

#include <atomic>

namespace Vextra {
namespace {

struct GuardState {
  DWORD thread = 0;
  void* jump[5] = {};
  volatile DWORD code = 0;
  PVOID handler = nullptr;
};

std::atomic<GuardState*> g_guard{nullptr};

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* pointers) {
  GuardState* state = g_guard.load(std::memory_order_acquire);
  if (state == nullptr || state->thread != GetCurrentThreadId()) return EXCEPTION_CONTINUE_SEARCH;
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (!IsStartUpFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  state->code = code;
  g_guard.store(nullptr, std::memory_order_release);
  // Back to the guard's frame: the faulting step is abandoned, as a
  // structured handler in that frame would do.
  __builtin_longjmp(state->jump, 1);
}

void Disarm(GuardState& state) {
  g_guard.store(nullptr, std::memory_order_release);
  if (state.handler != nullptr) RemoveVectoredExceptionHandler(state.handler);
  state.handler = nullptr;
}

// Removes the handler when a C++ exception leaves the body.
struct DisarmOnUnwind {
  GuardState& state;
  ~DisarmOnUnwind() { Disarm(state); }
};

}  // namespace

bool RunUnderStartUpGuard(void (*body)(), uint32_t* code) {
  static GuardState state;  // start-up runs under its own lock
  state = GuardState{};
  state.thread = GetCurrentThreadId();
  if (__builtin_setjmp(state.jump) != 0) {
    Disarm(state);
    if (code != nullptr) *code = state.code;
    return false;
  }
  state.handler = AddVectoredExceptionHandler(1, GuardHandler);
  g_guard.store(&state, std::memory_order_release);
  {
    DisarmOnUnwind disarm{state};
    body();
  }
  return true;
}

}  // namespace Vextra
