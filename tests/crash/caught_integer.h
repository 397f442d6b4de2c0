#pragma once
// Runs a function that throws an integer the way the platform's compiler
// runtime throws objects, and takes it with that runtime's catch(int): a
// plain catch on POSIX; on Windows a catch built with the MSVC C++ ABI
// (tests/support/msvc_catch_int.cpp), as an MSVC-built host has it.

#include <optional>
#include <string>

namespace vextra_test {

// The thrown integer, or nothing (with the reason in *why) when the function
// returned or threw something a catch(int) does not take.
std::optional<int> CatchThrownInteger(void (*raise)(), std::string* why);

}  // namespace vextra_test
