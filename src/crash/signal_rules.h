#pragma once
// The plain rules of signal-based crash capture: which signals are crashes,
// the exception code each one stands for in the crash decisions, and what
// happens with the handling that was in force before the library's.
// Signal numbers are the Linux x86-64 ones, spelled out so that the rules
// build and are tested on every platform.

#include <cstddef>
#include <cstdint>

namespace Vextra {

constexpr int kSigIll = 4;
constexpr int kSigTrap = 5;
constexpr int kSigAbrt = 6;
constexpr int kSigBus = 7;
constexpr int kSigFpe = 8;
constexpr int kSigSegv = 11;
constexpr int kSigSys = 31;

// The signals the library handles, in the order they are installed.
constexpr int kCrashSignals[] = {kSigSegv, kSigBus, kSigIll, kSigFpe, kSigAbrt, kSigTrap, kSigSys};
constexpr size_t kCrashSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];

// si_code values of SIGFPE that name an integer fault.
constexpr int kFpeIntDiv = 1;
constexpr int kFpeIntOvf = 2;
constexpr int kFpeFltDiv = 3;
constexpr int kFpeFltOvf = 4;
constexpr int kFpeFltUnd = 5;
constexpr int kFpeFltRes = 6;
constexpr int kFpeFltInv = 7;

// The exception code a signal stands for, so that one set of decisions
// serves both platforms: a fault on the stack's guard is a stack overflow,
// abort() is a fatal application exit, a trap is a breakpoint. 0 for a
// signal that is not a crash.
// crash path: a fixed table, allocates nothing.
uint32_t CrashCodeOfSignal(int signal, int si_code, bool stack_overflow);

// Whether a memory fault at fault_address is the thread running off its
// stack: the address lies below the stack mapping that holds the stack
// pointer and within guard_bytes of its low end, or the stack pointer
// itself is already outside any stack.
// crash path: arithmetic only.
bool IsStackOverflowFault(uint64_t fault_address, uint64_t stack_low, uint64_t guard_bytes);

// What the handling in force before the library's was.
enum class PreviousKind {
  kDefault,      // SIG_DFL
  kIgnore,       // SIG_IGN
  kPlain,        // a handler taking the signal number only
  kWithInfo,     // an SA_SIGINFO handler
};

// What the library does once its own work for a signal is done.
enum class ChainStep {
  // Put the default action back and send the signal to this thread again:
  // the process ends by that signal (core dump, exit status by signal) and a
  // debugger sees it, also for a signal sent with kill or raised by abort().
  kRestoreDefaultAndRaise,
  // Put the previous disposition back and return: a fault raised by the CPU
  // happens again and the system ends the process; one sent from outside
  // stays ignored, as it was.
  kRestoreIgnoreAndReturn,
  // Call the previous handler as it expects to be called, then return.
  kCallPlain,
  kCallWithInfo,
};

// crash path: a switch, allocates nothing.
ChainStep ChainStepFor(PreviousKind previous);

}  // namespace Vextra
