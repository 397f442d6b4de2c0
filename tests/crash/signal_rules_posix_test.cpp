// The signal rules of the Linux capture: which exception code each crash
// signal stands for, when a fault is a stack overflow, and how the handling
// found before the library's is chained.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>

#include "crash/crash_decisions.h"
#include "crash/signal_handlers_posix.h"
#include "crash/signal_rules.h"

namespace {

using Vextra::ChainStep;
using Vextra::PreviousKind;

TEST(SignalRulesTest, NumbersAreThoseOfThisSystem) {
  // The rules spell the numbers out; they must be this system's.
  EXPECT_EQ(Vextra::kSigSegv, SIGSEGV);
  EXPECT_EQ(Vextra::kSigBus, SIGBUS);
  EXPECT_EQ(Vextra::kSigIll, SIGILL);
  EXPECT_EQ(Vextra::kSigFpe, SIGFPE);
  EXPECT_EQ(Vextra::kSigAbrt, SIGABRT);
  EXPECT_EQ(Vextra::kSigTrap, SIGTRAP);
  EXPECT_EQ(Vextra::kSigSys, SIGSYS);
  EXPECT_EQ(Vextra::kFpeIntDiv, FPE_INTDIV);
  EXPECT_EQ(Vextra::kFpeFltInv, FPE_FLTINV);
}

TEST(SignalRulesTest, EachSignalMapsToItsCode) {
  static constexpr struct {
    int signal;
    int si_code;
    bool overflow;
    uint32_t code;
  } kCases[] = {
      {SIGSEGV, SEGV_MAPERR, false, 0xC0000005}, {SIGSEGV, SEGV_ACCERR, false, 0xC0000005},
      {SIGSEGV, SEGV_MAPERR, true, 0xC00000FD},  {SIGBUS, BUS_ADRERR, false, 0xC0000006},
      {SIGILL, ILL_ILLOPN, false, 0xC000001D},   {SIGFPE, FPE_INTDIV, false, 0xC0000094},
      {SIGFPE, FPE_INTOVF, false, 0xC0000095},   {SIGFPE, FPE_FLTDIV, false, 0xC000008E},
      {SIGFPE, FPE_FLTOVF, false, 0xC0000091},   {SIGFPE, FPE_FLTUND, false, 0xC0000093},
      {SIGFPE, FPE_FLTRES, false, 0xC000008F},   {SIGFPE, FPE_FLTINV, false, 0xC0000090},
      {SIGFPE, SI_USER, false, 0xC0000094},      {SIGABRT, SI_TKILL, false, 0x40000015},
      {SIGTRAP, TRAP_BRKPT, false, 0x80000003},  {SIGSYS, 1, false, 0xC000001C},
      {SIGTERM, SI_USER, false, 0},              {SIGUSR1, SI_USER, false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "signal " << c.signal << " si_code " << c.si_code << " overflow " << c.overflow);
    EXPECT_EQ(Vextra::CrashCodeOfSignal(c.signal, c.si_code, c.overflow), c.code);
  }
}

TEST(SignalRulesTest, EveryCrashSignalIsACrashForTheDecisions) {
  // With the vectored switch off (the default) every mapped code counts.
  for (int signal : Vextra::kCrashSignals) {
    SCOPED_TRACE(signal);
    const uint32_t code = Vextra::CrashCodeOfSignal(signal, 1, false);
    ASSERT_NE(code, 0u);
    EXPECT_TRUE(Vextra::IsCrashExceptionCode(code));
  }
}

TEST(SignalRulesTest, StackOverflowIsAFaultJustBelowTheStack) {
  const uint64_t low = 0x7ffd00000000;
  const uint64_t guard = Vextra::kStackGuardBytes;
  static constexpr struct {
    int64_t below_low;  // fault address = low - below_low
    bool stack_known;
    bool overflow;
  } kCases[] = {
      {8, true, true},                      // the first bytes under the stack
      {static_cast<int64_t>((1u << 20) + (64u << 10)), true, true},  // the far end of the guard
      {static_cast<int64_t>((1u << 20) + (64u << 10)) + 1, true, false},  // beyond it
      {0, true, false},                     // the stack's own first byte
      {-4096, true, false},                 // inside the stack
      {8, false, true},                     // the stack pointer lies in no mapping at all
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "below " << c.below_low << " known " << c.stack_known);
    const uint64_t fault = low - static_cast<uint64_t>(c.below_low);
    EXPECT_EQ(Vextra::IsStackOverflowFault(fault, c.stack_known ? low : 0, guard), c.overflow);
  }
}

void PlainHandler(int) {}
void InfoHandler(int, siginfo_t*, void*) {}

TEST(SignalRulesTest, PreviousActionDecidesTheChainStep) {
  struct Case {
    const char* name;
    struct sigaction action;
    PreviousKind kind;
    ChainStep step;
  };
  Case cases[4] = {};
  cases[0].name = "default";
  cases[0].action.sa_handler = SIG_DFL;
  cases[0].kind = PreviousKind::kDefault;
  cases[0].step = ChainStep::kRestoreDefaultAndRaise;
  cases[1].name = "ignore";
  cases[1].action.sa_handler = SIG_IGN;
  cases[1].kind = PreviousKind::kIgnore;
  cases[1].step = ChainStep::kRestoreIgnoreAndReturn;
  cases[2].name = "plain handler";
  cases[2].action.sa_handler = &PlainHandler;
  cases[2].kind = PreviousKind::kPlain;
  cases[2].step = ChainStep::kCallPlain;
  cases[3].name = "handler with info";
  cases[3].action.sa_sigaction = &InfoHandler;
  cases[3].action.sa_flags = SA_SIGINFO;
  cases[3].kind = PreviousKind::kWithInfo;
  cases[3].step = ChainStep::kCallWithInfo;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Vextra::PreviousKindOf(c.action), c.kind);
    EXPECT_EQ(Vextra::ChainStepFor(c.kind), c.step);
  }
}

}  // namespace
