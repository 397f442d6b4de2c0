#include "crash/exception_facts.h"
#include "crash/signal_record_posix.h"

namespace Vextra {

// The code is the one the signal stands for; the address is the instruction
// that faulted, as the repeat and ignored-module tests compare code addresses.
ExceptionFacts ExceptionFactsOf(_EXCEPTION_POINTERS* pointers) {
  ExceptionFacts facts;
  facts.pointers = pointers;
  if (pointers == nullptr || pointers->info == nullptr || pointers->context == nullptr) return facts;
  facts.has_record = true;
  facts.code = pointers->code;
  facts.flags = 0;
  facts.address = static_cast<uintptr_t>(pointers->context->uc_mcontext.gregs[REG_RIP]);
  return facts;
}

}  // namespace Vextra
