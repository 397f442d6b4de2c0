#include "platform/text_encoding.h"

#include <cstdint>

namespace Vextra::platform {

// Decodes UTF-8; an invalid byte is taken as the code point of the same value,
// so no byte of the host's text is lost.
std::wstring NarrowToWide(const char* text, size_t max_chars) {
  std::wstring out;
  if (text == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0 && out.size() < max_chars) {
    uint32_t cp = *p;
    int extra = cp < 0xC0 ? 0 : cp < 0xE0 ? 1 : cp < 0xF0 ? 2 : cp < 0xF8 ? 3 : 0;
    uint32_t value = extra == 0 ? cp : cp & (0x3F >> extra);
    int i = 1;
    for (; i <= extra && (p[i] & 0xC0) == 0x80; ++i) value = (value << 6) | (p[i] & 0x3F);
    if (i <= extra) {  // truncated sequence: keep the lead byte alone
      value = cp;
      i = 1;
    }
    out.push_back(static_cast<wchar_t>(value));
    p += i;
  }
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    auto cp = static_cast<uint32_t>(wc);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string WideToAnsi(const std::wstring& text) { return WideToUtf8(text); }

std::wstring AnsiToWide(const std::string& text) { return NarrowToWide(text.c_str(), text.size()); }

}  // namespace Vextra::platform
