#pragma once
// Paths read back from the record database, which stores them in the system's
// ANSI code page (UTF-8 on systems other than Windows).

#include <string>

namespace Vextra {

// The inverse of platform::WideToAnsi; the whole text is converted, never cut.
std::wstring AnsiToWide(const std::string& text);

}  // namespace Vextra
