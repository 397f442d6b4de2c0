#include "sysinfo/mac_format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace lumarobase {
namespace {

TEST(MacFormat, SixBytesAsLowerCaseHexJoinedByHyphens) {
  static constexpr struct {
    uint8_t bytes[8];
    const char* text;
  } kCases[] = {
      {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "00-1a-2b-3c-4d-5e"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "ff-ff-ff-ff-ff-ff"},
      {{0, 0, 0, 0, 0, 0}, "00-00-00-00-00-00"},
      // Only the first six bytes of an eight-byte address field are shown.
      {{0xDE, 0x33, 0x86, 0xAB, 0xC0, 0xD0, 0x12, 0x34}, "de-33-86-ab-c0-d0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatMacAddress(c.bytes), c.text);
    char out[32];
    std::memset(out, 'x', sizeof out);
    FormatMacAddress(c.bytes, out, sizeof out);
    EXPECT_STREQ(out, c.text);
  }
}

TEST(MacFormat, StaysInsideASmallBuffer) {
  const uint8_t bytes[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  char out[10];
  std::memset(out, 'x', sizeof out);
  char guard = 'G';
  FormatMacAddress(bytes, out, 6);
  EXPECT_STREQ(out, "00-1a");
  EXPECT_EQ(out[6], 'x');
  EXPECT_EQ(guard, 'G');

  out[0] = 'x';
  FormatMacAddress(bytes, out, 0);
  EXPECT_EQ(out[0], 'x');
}

TEST(MacFormat, ReadsTheKernelsColonForm) {
  static constexpr struct {
    const char* text;
    bool ok;
    const char* formatted;
  } kCases[] = {
      {"de:33:86:ab:c0:d0", true, "de-33-86-ab-c0-d0"},
      {"02:FC:00:00:00:01", true, "02-fc-00-00-00-01"},
      {"", false, ""},
      {"de:33:86:ab:c0", false, ""},
      {"de:33:86:ab:c0:d0:11", false, ""},
      {"de-33-86-ab-c0-d0", false, ""},
      {"dg:33:86:ab:c0:d0", false, ""},
      {"de:33:86:ab:c0:d", false, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    uint8_t bytes[kMacBytes] = {};
    ASSERT_EQ(ParseColonMac(c.text, bytes), c.ok);
    if (c.ok) EXPECT_EQ(FormatMacAddress(bytes), c.formatted);
  }
}

}  // namespace
}  // namespace lumarobase
