// PrintLog, VX_PrintLog and VX_PrintLogSafe through the exports.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "log/native_log_ring.h"
#include "support/fresh_native_log.h"
#include "vextra.h"

namespace Vextra {
namespace {

class PrintLogTest : public vextra_test::FreshNativeLogTest {
 protected:
  // The ring's records without their 14-character time stamps, one per line.
  static std::vector<std::string> Records() {
    std::vector<std::string> records;
    std::vector<char> buffer(kNativeLogCapacity);
    if (!ReadNativeLog(buffer.data(), kNativeLogCapacity)) return records;
    std::string text(buffer.data());
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
      records.push_back(text.substr(begin + 14, end - begin - 14));
    }
    return records;
  }
};

TEST_F(PrintLogTest, BothFormattingExportsFormatEveryArgument) {
  // More arguments than travel in registers, integers and floating point mixed.
  const char* format = "%s|%d|%u|%lld|%x|%c|%.3f|%d|%d|%d|%d|%.1f|%s|%e";
  char expected[512];
  std::snprintf(expected, sizeof expected, format, "alpha", -7, 4000000000u, -1234567890123LL, 0xbeef, 'z',
                3.14159, 1, 2, 3, 4, 2.5, "omega", 1e-9);

  EXPECT_TRUE(PrintLog(2, "Eng", format, "alpha", -7, 4000000000u, -1234567890123LL, 0xbeef, 'z', 3.14159, 1, 2,
                       3, 4, 2.5, "omega", 1e-9));
  EXPECT_TRUE(VX_PrintLog(2, "Eng", format, "alpha", -7, 4000000000u, -1234567890123LL, 0xbeef, 'z', 3.14159, 1,
                          2, 3, 4, 2.5, "omega", 1e-9));

  std::vector<std::string> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], std::string(" I Eng ") + expected);
  EXPECT_EQ(records[1], records[0]);
}

TEST_F(PrintLogTest, FormattingExportsApplyTheThreshold) {
  EXPECT_TRUE(PrintLog(1, "Eng", "debug %d", 1));
  EXPECT_TRUE(VX_PrintLog(0, "Eng", "verbose %d", 2));
  EXPECT_TRUE(VX_PrintLog(9, "Eng", "fatal %d", 3));
  EXPECT_EQ(Records(), std::vector<std::string>{" Ex Eng fatal 3"});
}

TEST_F(PrintLogTest, FormattingExportsRefuseNullTagOrFormat) {
  EXPECT_FALSE(PrintLog(2, nullptr, "x"));
  EXPECT_FALSE(VX_PrintLog(2, "Eng", nullptr));
  EXPECT_TRUE(Records().empty());
}

struct SafeCase {
  const char* name;
  bool filter;
  int32_t level;
  std::string message;
  bool result;
  const char* record;  // the one record expected, nullptr for none; "<long>" for the message itself
};

TEST_F(PrintLogTest, SafeExportFilterModes) {
  const std::string long_message(5000, 'L');
  const SafeCase kCases[] = {
      {"filtered: message is not read as a format", true, 3, "100%s %d", true, " W Game 100%s %d"},
      {"filtered: below the threshold is dropped", true, 1, "quiet", true, nullptr},
      {"filtered: cut at 4,094 characters", true, 2, long_message, true, "<4094>"},
      {"unfiltered: level 0 is stored", false, 0, "verbose", true, " V Game verbose"},
      {"unfiltered: level clamped to Ex", false, 42, "loud", true, " Ex Game loud"},
      {"unfiltered: message not cut", false, 2, long_message, true, "<long>"},
      {"unfiltered: not read as a format", false, 2, "%n%s%s", true, " I Game %n%s%s"},
  };
  for (const SafeCase& c : kCases) {
    SCOPED_TRACE(c.name);
    testing_hooks::ResetNativeLogForTesting();
    InitNativeLog();

    EXPECT_EQ(VX_PrintLogSafe(c.filter, c.level, "Game", c.message.c_str()), c.result);

    std::vector<std::string> records = Records();
    if (c.record == nullptr) {
      EXPECT_TRUE(records.empty());
      continue;
    }
    ASSERT_EQ(records.size(), 1u);
    std::string expected = c.record;
    if (expected == "<4094>") expected = " I Game " + long_message.substr(0, 4094);
    if (expected == "<long>") expected = " I Game " + long_message;
    EXPECT_EQ(records[0], expected);
  }
}

TEST_F(PrintLogTest, SafeExportRefusesNullTexts) {
  EXPECT_FALSE(VX_PrintLogSafe(false, 2, nullptr, "m"));
  EXPECT_FALSE(VX_PrintLogSafe(false, 2, "Game", nullptr));
  EXPECT_FALSE(VX_PrintLogSafe(true, 2, "Game", nullptr));
  EXPECT_TRUE(VX_PrintLogSafe(true, 0, "Game", nullptr)) << "below the threshold nothing is looked at";
  EXPECT_TRUE(Records().empty());
}

}  // namespace
}  // namespace Vextra
