#include "minidump/identity_text.h"

#include <cstdio>

namespace Vextra::minidump {

std::string HexNumber(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string HexBytes(const uint8_t* bytes, size_t size, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xF];
  }
  return text;
}

std::string PdbDebugId(const uint8_t (&guid)[16], uint32_t age) {
  const uint8_t ordered[16] = {guid[3], guid[2], guid[1],  guid[0],  guid[5],  guid[4],  guid[7],  guid[6],
                               guid[8], guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]};
  char age_text[12];
  std::snprintf(age_text, sizeof age_text, "%X", age);
  return HexBytes(ordered, 16, true) + age_text;
}

std::string PeCodeId(uint32_t time_date_stamp, uint32_t size_of_image) {
  char text[24];
  std::snprintf(text, sizeof text, "%08X%x", time_date_stamp, size_of_image);
  return text;
}

}  // namespace Vextra::minidump
