#include "platform/text_encoding.h"

#include <cstdint>

namespace Vextra::platform {
namespace {

// A byte that starts no valid UTF-8 sequence is kept as the lone surrogate
// U+DC80..U+DCFF of its value. Valid UTF-8 never encodes a surrogate, so the
// way back to bytes is unambiguous and any byte string survives the round trip.
constexpr uint32_t kEscapeBase = 0xDC00;

bool IsEscapedByte(uint32_t cp) { return cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF; }

// Length of the valid UTF-8 sequence at p (at most available bytes) and its
// code point, or 0 when none starts there: no overlong forms, no surrogates,
// nothing above U+10FFFF.
size_t DecodeSequence(const unsigned char* p, size_t available, uint32_t* cp) {
  const uint32_t lead = p[0];
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  size_t length = 0;
  uint32_t low = 0x80;
  uint32_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available < length || p[1] < low || p[1] > high) return 0;
  uint32_t value = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  *cp = value;
  return length;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | ((cp >> 18) & 0x07)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::wstring DecodeBytes(const unsigned char* p, size_t size, size_t max_chars) {
  std::wstring out;
  for (size_t i = 0; i < size && p[i] != 0 && out.size() < max_chars;) {
    uint32_t cp = 0;
    size_t length = DecodeSequence(p + i, size - i, &cp);
    if (length == 0) {
      cp = kEscapeBase + p[i];
      length = 1;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += length;
  }
  return out;
}

}  // namespace

std::wstring NarrowToWide(const char* text, size_t max_chars) {
  if (text == nullptr) return {};
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t size = 0;
  while (p[size] != 0) ++size;
  return DecodeBytes(p, size, max_chars);
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    const auto cp = static_cast<uint32_t>(wc);
    if (IsEscapedByte(cp)) {
      out.push_back(static_cast<char>(cp - kEscapeBase));
    } else {
      // Nothing a 32-bit wchar_t holds past U+10FFFF is a character.
      AppendUtf8(cp <= 0x10FFFF ? cp : 0xFFFD, &out);
    }
  }
  return out;
}

std::string WideToAnsi(const std::wstring& text) { return WideToUtf8(text); }

std::wstring AnsiToWide(const std::string& text) {
  return DecodeBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size(), text.size());
}

std::wstring Utf8ToWide(const std::string& text) { return AnsiToWide(text); }

}  // namespace Vextra::platform
