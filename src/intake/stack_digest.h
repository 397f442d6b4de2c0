#pragma once

#include <string>

namespace Vextra {

// MD5 of the stack text's bytes (whole length, no terminator) as 32
// upper-case hexadecimal digits: the key of the recorded store.
std::string StackDigest(const std::string& stack);

}  // namespace Vextra
