#include "sysinfo/mac_format.h"

#include <cctype>
#include <cstdio>

namespace lumarobase {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

void FormatMacAddress(const uint8_t* bytes, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  std::snprintf(out, capacity, "%02x-%02x-%02x-%02x-%02x-%02x", bytes[0], bytes[1], bytes[2], bytes[3],
                bytes[4], bytes[5]);
}

std::string FormatMacAddress(const uint8_t* bytes) {
  char text[3 * kMacBytes];
  FormatMacAddress(bytes, text, sizeof text);
  return text;
}

bool ParseColonMac(const std::string& text, uint8_t (&bytes)[kMacBytes]) {
  // "xx:" five times and a last "xx".
  if (text.size() != 3 * kMacBytes - 1) return false;
  for (size_t i = 0; i < kMacBytes; ++i) {
    const size_t at = 3 * i;
    if (i > 0 && text[at - 1] != ':') return false;
    int high = HexDigit(text[at]);
    int low = HexDigit(text[at + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

}  // namespace lumarobase
