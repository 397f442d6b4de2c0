#pragma once
// The parser of the extra information a host passes with an error report: a
// flat JSON-like object read byte by byte into key/value pairs. It is not a
// JSON parser: it never fails, decodes no escape, skips unquoted values and
// joins the quoted texts of a nested object into one value.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace Vextra {

// The most pairs one report's userMap takes from the extra information.
constexpr size_t kMaxExtraInfoPairs = 500;

// Pairs in byte-wise ascending key order; a later value for a key replaces the
// earlier one.
using ExtraInfoPairs = std::map<std::string, std::string>;

// Reads the text byte by byte. Outside a string: a double quote opens the key
// while the key is empty, else the value; a comma or closing brace stores
// key = value and empties both; every other byte is skipped. Inside a string:
// a backslash makes the next byte literal (the backslash itself is dropped),
// a double quote closes the string, any other byte is appended. Never fails;
// any bytes (NUL included) are accepted. Pure: no log, no allocation beyond
// the result.
ExtraInfoPairs ParseExtraInfo(std::string_view text);

}  // namespace Vextra
