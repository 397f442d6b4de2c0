#pragma once
// The C runtime's extra handlers: an invalid parameter or a pure virtual call
// becomes a thrown integer 1 carrying the user value "Exception Type", which,
// if the host does not catch it, reaches the top-level filter as a crash.

#include <cstdint>

namespace Vextra {

// Stores the switch; on: saves the runtime's current handlers and installs
// the two below; off: reinstalls each saved handler that is not null.
// (Switching on twice saves the library's own, so switching off keeps them.)
// Host threads only. POSIX has no such runtime handlers: only the switch is stored.
void SwitchExtraHandlers(bool on);

// "Exception Type" = "invalidParameer", then throws the integer 1.
[[noreturn]] void HcInvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                            unsigned int line, uintptr_t reserved);
// "Exception Type" = "PureCall", then throws the integer 1.
[[noreturn]] void HcPureCallHandler();

// Installs or restores the runtime's handlers (the platform's part of
// SwitchExtraHandlers). Switching on also pins the library's module for the
// rest of the process, so a runtime never calls into unmapped code.
void ApplyRuntimeHandlers(bool on);

// Teardown: every runtime whose handler is still the library's gets back the
// one it had before the library first installed its own (null included); a
// handler the host installed since stays. Host threads only (teardown).
void RestoreRuntimeHandlers();

// Throws the integer 1 as the platform's compiler runtime throws objects. On
// Windows that is the exception code 0xE06D7363 with the throw description
// an MSVC-built host's catch(int) matches, which every top-level filter sees
// when nothing catches it (a MinGW throw would end in std::terminate inside a
// MinGW-built host instead); elsewhere it is a plain C++ throw.
[[noreturn]] void ThrowIntegerOne();

}  // namespace Vextra
