#include <windows.h>

#include "crash/exception_facts.h"

namespace Vextra {

ExceptionFacts ExceptionFactsOf(_EXCEPTION_POINTERS* pointers) {
  ExceptionFacts facts;
  facts.pointers = pointers;
  if (pointers == nullptr || pointers->ExceptionRecord == nullptr) return facts;
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  facts.has_record = true;
  facts.code = static_cast<uint32_t>(record.ExceptionCode);
  facts.flags = static_cast<uint32_t>(record.ExceptionFlags);
  facts.address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
  return facts;
}

}  // namespace Vextra
