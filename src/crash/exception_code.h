#pragma once

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

// Reads the exception code of a host's exception pointers; false when the
// pointers or their record are absent (or on platforms without them).
bool ExceptionCodeOf(const _EXCEPTION_POINTERS* pointers, uint32_t* code);

}  // namespace Vextra
