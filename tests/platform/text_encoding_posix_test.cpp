#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace Vextra::platform {
namespace {

TEST(TextEncodingPosixTest, NarrowTextsSurviveTheWayThroughWideTextsByteForByte) {
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  static const struct {
    const char* name;
    std::string narrow;
    std::wstring wide;  // empty: not checked
  } kCases[] = {
      {"ascii", "/tmp/x", L"/tmp/x"},
      {"valid two-byte", "/tmp/caf\xC3\xA9", L"/tmp/caf\u00E9"},
      {"valid four-byte", "\xF0\x9F\x8E\xAE", L"\U0001F3AE"},
      {"Latin-1 byte", "/tmp/caf\xE9/x", L"/tmp/caf\xDCE9/x"},
      {"encoded surrogate", "\xED\xB3\xA9", L"\xDCED\xDCB3\xDCA9"},
      {"overlong slash", "\xC0\xAF", L"\xDCC0\xDCAF"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
      {"truncated sequence", "x\xE2\x82", L"x\xDCE2\xDC82"},
      {"truncated before valid", "\xE2\xC3\xA9", L"\xDCE2\u00E9"},
      {"every byte", every_byte, L""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::wstring wide = NarrowToWide(c.narrow.c_str(), 4096);
    if (!c.wide.empty()) EXPECT_EQ(wide, c.wide);
    EXPECT_EQ(WideToUtf8(wide), c.narrow);
    EXPECT_EQ(WideToAnsi(wide), c.narrow);
    EXPECT_EQ(AnsiToWide(c.narrow), wide);
  }
}

TEST(TextEncodingPosixTest, WideTextsWithoutEscapesBecomeUtf8) {
  EXPECT_EQ(WideToUtf8(L"caf\u00E9\u732B"), "caf\xC3\xA9\xE7\x8C\xAB");
  // A lone surrogate outside the escape range keeps its three-byte form.
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xED\xA0\x80");
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
  EXPECT_EQ(NarrowToWide("abcdef", 3), L"abc");
  EXPECT_EQ(NarrowToWide(nullptr), L"");
}

}  // namespace
}  // namespace Vextra::platform
