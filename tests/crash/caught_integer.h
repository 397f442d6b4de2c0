#pragma once
// Runs a function that throws an integer the way the platform's compiler
// runtime throws objects, and takes the integer as a catch(int) of that
// runtime would: a plain catch on POSIX; on Windows the raised record is read
// by the published layout an MSVC catch matches (code 0xE06D7363,
// non-continuable, the 0x19930520 magic, one catchable simple type of 4 bytes
// named ".H"), since a MinGW-built test cannot catch it itself.

#include <optional>
#include <string>

namespace vextra_test {

// The thrown integer, or nothing (with the reason in *why) when the function
// returned or raised something a catch(int) would not take.
std::optional<int> CatchThrownInteger(void (*raise)(), std::string* why);

}  // namespace vextra_test
