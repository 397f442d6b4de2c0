#include "crash/exception_facts.h"

namespace Vextra {

// POSIX hosts have no exception pointers: the facts say no record.
ExceptionFacts ExceptionFactsOf(_EXCEPTION_POINTERS* pointers) {
  ExceptionFacts facts;
  facts.pointers = pointers;
  return facts;
}

}  // namespace Vextra
