// A host function as an MSVC-built game writes it: a recursion that exhausts
// its thread's stack inside __try, an __except that takes only the stack
// overflow, and _resetstkoflw to put the guard page back.

// No windows.h here: the MinGW headers' intrinsics do not build as MSVC code.
extern "C" int __cdecl _resetstkoflw(void);
constexpr unsigned long kStackOverflow = 0xC00000FD;
constexpr int kExecuteHandler = 1;
constexpr int kContinueSearch = 0;

namespace {

__declspec(noinline) int Deeper(volatile char* previous, int depth) {
  volatile char frame[512];
  frame[0] = previous != nullptr ? previous[0] : static_cast<char>(depth);
  return Deeper(frame, depth + 1) + frame[depth % sizeof frame];
}

}  // namespace

// 1 when the overflow was caught here and the guard page put back, 2 when
// caught but the guard page could not be put back.
extern "C" int CatchOwnOverflow() {
  __try {
    return Deeper(nullptr, 0);
  } __except (static_cast<unsigned long>(_exception_code()) == kStackOverflow ? kExecuteHandler : kContinueSearch) {
    return _resetstkoflw() != 0 ? 1 : 2;
  }
}
