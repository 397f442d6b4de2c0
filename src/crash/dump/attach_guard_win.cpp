#include "crash/dump/attach_guard.h"

#include <windows.h>

#include <atomic>

namespace Vextra {
namespace {

// Codes that C++ throws carry through structured exception handling: they
// unwind to their own catch, the guard leaves them alone.
constexpr DWORD kMsvcThrowCode = 0xE06D7363;
constexpr DWORD kGccThrowCode = 0x20474343;

struct GuardState {
  DWORD thread = 0;
  AttachFaultFilter filter = nullptr;
  void* jump[5] = {};
  volatile DWORD code = 0;
  PVOID handler = nullptr;
};

std::atomic<GuardState*> g_guard{nullptr};

bool IsGuardedFault(DWORD code) {
  return (code & 0xC0000000u) == 0xC0000000u && code != kMsvcThrowCode && code != kGccThrowCode;
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* pointers) {
  GuardState* state = g_guard.load(std::memory_order_acquire);
  if (state == nullptr || state->thread != GetCurrentThreadId()) return EXCEPTION_CONTINUE_SEARCH;
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (!IsGuardedFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  state->code = code;
  g_guard.store(nullptr, std::memory_order_release);
  if (state->filter != nullptr) state->filter(code, pointers);
  // Back to the guard's frame: the faulting setup is abandoned, as a
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

bool RunUnderAttachGuard(void (*body)(), AttachFaultFilter filter, uint32_t* code) {
  static GuardState state;  // the loader serialises attach notifications
  state = GuardState{};
  state.thread = GetCurrentThreadId();
  state.filter = filter;
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
