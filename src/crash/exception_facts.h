#pragma once
// The facts of one exception the crash entries decide on, taken from the
// platform's exception pointers.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

constexpr uint32_t kNonContinuableFlag = 1;

struct ExceptionFacts {
  _EXCEPTION_POINTERS* pointers = nullptr;  // handed unchanged to the dump writer
  bool has_record = false;                  // the pointers and their record are present
  uint32_t code = 0;
  uint32_t flags = 0;
  uintptr_t address = 0;
};

// Reads code, flags and address (has_record false when the pointers or their
// record are null, and on platforms without exception pointers).
// crash path: reads the record, allocates nothing.
ExceptionFacts ExceptionFactsOf(_EXCEPTION_POINTERS* pointers);

}  // namespace Vextra
