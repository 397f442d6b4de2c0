#include "crash/signal_rules.h"

namespace Vextra {
namespace {

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kInPageError = 0xC0000006;
constexpr uint32_t kIllegalInstruction = 0xC000001D;
constexpr uint32_t kStackOverflow = 0xC00000FD;
constexpr uint32_t kIntDivideByZero = 0xC0000094;
constexpr uint32_t kIntOverflow = 0xC0000095;
constexpr uint32_t kFltDivideByZero = 0xC000008E;
constexpr uint32_t kFltOverflow = 0xC0000091;
constexpr uint32_t kFltUnderflow = 0xC0000093;
constexpr uint32_t kFltInexact = 0xC000008F;
constexpr uint32_t kFltInvalid = 0xC0000090;
constexpr uint32_t kFatalAppExit = 0x40000015;
constexpr uint32_t kBreakpoint = 0x80000003;
constexpr uint32_t kInvalidSystemService = 0xC000001C;

uint32_t FpeCode(int si_code) {
  switch (si_code) {
    case kFpeIntDiv: return kIntDivideByZero;
    case kFpeIntOvf: return kIntOverflow;
    case kFpeFltDiv: return kFltDivideByZero;
    case kFpeFltOvf: return kFltOverflow;
    case kFpeFltUnd: return kFltUnderflow;
    case kFpeFltRes: return kFltInexact;
    case kFpeFltInv: return kFltInvalid;
    default: return kIntDivideByZero;  // sent with kill: the usual integer fault
  }
}

}  // namespace

uint32_t CrashCodeOfSignal(int signal, int si_code, bool stack_overflow) {
  switch (signal) {
    case kSigSegv: return stack_overflow ? kStackOverflow : kAccessViolation;
    case kSigBus: return kInPageError;
    case kSigIll: return kIllegalInstruction;
    case kSigFpe: return FpeCode(si_code);
    case kSigAbrt: return kFatalAppExit;
    case kSigTrap: return kBreakpoint;
    case kSigSys: return kInvalidSystemService;
    default: return 0;
  }
}

bool IsStackOverflowFault(uint64_t fault_address, uint64_t stack_low, uint64_t guard_bytes) {
  if (stack_low == 0) return true;
  return fault_address < stack_low && stack_low - fault_address <= guard_bytes;
}

ChainStep ChainStepFor(PreviousKind previous) {
  switch (previous) {
    case PreviousKind::kIgnore: return ChainStep::kRestoreIgnoreAndReturn;
    case PreviousKind::kPlain: return ChainStep::kCallPlain;
    case PreviousKind::kWithInfo: return ChainStep::kCallWithInfo;
    case PreviousKind::kDefault: break;
  }
  return ChainStep::kRestoreDefaultAndRaise;
}

}  // namespace Vextra
