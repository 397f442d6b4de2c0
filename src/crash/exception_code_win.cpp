#include <windows.h>

#include "crash/exception_code.h"

namespace Vextra {

bool ExceptionCodeOf(const _EXCEPTION_POINTERS* pointers, uint32_t* code) {
  if (pointers == nullptr || pointers->ExceptionRecord == nullptr) return false;
  *code = static_cast<uint32_t>(pointers->ExceptionRecord->ExceptionCode);
  return true;
}

}  // namespace Vextra
