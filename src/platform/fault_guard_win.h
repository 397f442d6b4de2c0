#pragma once
// A structured-exception guard for MinGW, which has no __try: a vectored
// handler that, for a fault on the guarded thread, jumps back into the frame
// that started the guard, abandoning the body as a structured handler in that
// frame would. Windows builds only.

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace Vextra::platform {

// Each Owner (a tag type) gets a state and a handler of its own, so guards of
// different owners may be active at once on different threads (a thread-attach
// notification while start-up runs its guard); one owner runs one guard at a
// time.
template <typename Owner>
class FaultGuard {
 public:
  // Whether the guard takes a fault with this code; others go on to the
  // handlers that would see them anyway.
  using Takes = bool (*)(uint32_t code);
  // Sees a taken fault before the body is abandoned (may be null).
  using OnFault = void (*)(uint32_t code, EXCEPTION_POINTERS* pointers);

  // Runs body on this thread. A fault that takes accepts, raised on this
  // thread while body runs, goes to on_fault and abandons body where it stands
  // (its objects are not destroyed); the result is then false with *code set.
  // True when body returned; a C++ exception leaves body and the guard as it came.
  static bool Run(void (*body)(), Takes takes, OnFault on_fault, uint32_t* code) {
    static State state;
    state = State{};
    state.thread = GetCurrentThreadId();
    state.takes = takes;
    state.on_fault = on_fault;
    if (__builtin_setjmp(state.jump) != 0) {
      Disarm(state);
      if (code != nullptr) *code = state.code;
      return false;
    }
    state.handler = AddVectoredExceptionHandler(1, &Handler);
    active_.store(&state, std::memory_order_release);
    {
      DisarmOnUnwind disarm{state};
      body();
    }
    return true;
  }

 private:
  struct State {
    DWORD thread = 0;
    Takes takes = nullptr;
    OnFault on_fault = nullptr;
    void* jump[5] = {};
    volatile DWORD code = 0;
    PVOID handler = nullptr;
  };

  static LONG CALLBACK Handler(EXCEPTION_POINTERS* pointers) {
    State* state = active_.load(std::memory_order_acquire);
    if (state == nullptr || state->thread != GetCurrentThreadId()) return EXCEPTION_CONTINUE_SEARCH;
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (!state->takes(code)) return EXCEPTION_CONTINUE_SEARCH;
    state->code = code;
    active_.store(nullptr, std::memory_order_release);
    if (state->on_fault != nullptr) state->on_fault(code, pointers);
    __builtin_longjmp(state->jump, 1);
  }

  static void Disarm(State& state) {
    active_.store(nullptr, std::memory_order_release);
    if (state.handler != nullptr) RemoveVectoredExceptionHandler(state.handler);
    state.handler = nullptr;
  }

  // Removes the handler when a C++ exception leaves the body.
  struct DisarmOnUnwind {
    State& state;
    ~DisarmOnUnwind() { Disarm(state); }
  };

  static inline std::atomic<State*> active_{nullptr};
};

}  // namespace Vextra::platform
