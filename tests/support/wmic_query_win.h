#pragma once
// What Windows Management Instrumentation reports, read through the wmic tool,
// for tests that compare the library's device facts with an independent source.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/text_encoding.h"

namespace vextra_test {

// The values wmic lists for one property, one row per object, in the order
// WMI returns them. wmic writes UTF-16 with a byte-order mark into a pipe
// under Wine and ANSI on Windows; both are read.
inline std::vector<std::string> WmicColumn(const std::string& arguments) {
  std::string command = "wmic " + arguments + " 2>NUL";
  FILE* pipe = _popen(command.c_str(), "rb");
  if (pipe == nullptr) return {};
  std::string raw;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) raw.append(chunk, got);
  _pclose(pipe);

  std::string text = raw;
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::wstring wide((raw.size() - 2) / 2, L'\0');
    std::memcpy(&wide[0], raw.data() + 2, wide.size() * 2);
    text = Vextra::platform::WideToAnsi(wide);
  }
  std::vector<std::string> rows;
  size_t start = 0;
  bool header = true;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (header) {
      header = false;  // the property name
      continue;
    }
    rows.push_back(line);
  }
  return rows;
}

inline bool Contains(const std::vector<std::string>& rows, const std::string& value) {
  return std::find(rows.begin(), rows.end(), value) != rows.end();
}

// "DE:33:86:AB:C0:D0" -> "de-33-86-ab-c0-d0"
inline std::string StoredMacForm(std::string text) {
  for (char& c : text) c = c == ':' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace vextra_test
