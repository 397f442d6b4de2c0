#pragma once
// Test helper: whether a text has the stored MAC address form "00-1a-2b-3c-4d-5e".

#include <regex>
#include <string>

namespace vextra_test {

inline bool IsMacText(const std::string& text) {
  static const std::regex kForm("([0-9a-f]{2}-){5}[0-9a-f]{2}");
  return std::regex_match(text, kForm);
}

}  // namespace vextra_test
