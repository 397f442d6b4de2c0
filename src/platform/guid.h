#pragma once
// GUID texts: session ids, report ids and crash GUIDs.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vextra::platform {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};

// A fresh random GUID from the system.
Guid NewGuid();
constexpr size_t kGuidTextChars = 33;  // 32 digits and the terminator

// 32 upper-case hexadecimal digits: data1, data2, data3, then the eight bytes.
std::string FormatGuidText(const Guid& guid);
// The same into a caller's buffer, terminated.
// crash path: allocates nothing, takes no lock.
void FormatGuidText(const Guid& guid, char (&out)[kGuidTextChars]);
inline std::string NewGuidText() { return FormatGuidText(NewGuid()); }

}  // namespace Vextra::platform
