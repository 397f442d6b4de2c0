#include "log/sdk_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>

#include "core/process_flags.h"
#include "core/teardown.h"
#include "log/lu_logger.h"
#include "log/time_stamp.h"
#include "platform/process_info.h"
#include "support/temp_dir.h"

namespace Vextra {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The C runtime writes "\n" as "\r\n" in text mode on Windows.
std::string Unix(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

class SdkLogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDebugMode(false); }
  void TearDown() override { SetDebugMode(false); }

  fs::path LogDir() const { return dir.path() / "VextraLog"; }
  std::unique_ptr<SdkLog> NewLog() { return std::make_unique<SdkLog>(LogDir().wstring()); }

  vextra_test::TempDir dir;
};

TEST_F(SdkLogTest, DebugLinesNeedDebugModeAndCreateNothingWithout) {
  auto log = NewLog();
  log->Print("Begin Hook\n");
  EXPECT_FALSE(fs::exists(LogDir()));
  EXPECT_EQ(log->FilePath(), L"");

  SetDebugMode(true);
  log->Print("Begin Hook\n");
  ASSERT_NE(log->FilePath(), L"");
  EXPECT_TRUE(std::regex_match(Unix(ReadAll(log->FilePath())),
                               std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}:Begin Hook\n")));
}

TEST_F(SdkLogTest, AlwaysWrittenLinesCreateDirectoryAndFileNamedByTimeAndProcess) {
  auto log = NewLog();
  log->PrintAlways("line %d\n", 1);
  ASSERT_TRUE(fs::is_directory(LogDir()));
  fs::path file(log->FilePath());
  EXPECT_EQ(file.parent_path(), LogDir());
  EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex("Vextra\\.\\d+\\.\\d+\\.log")));
  EXPECT_NE(file.filename().string().find("." + std::to_string(platform::ProcessId()) + ".log"),
            std::string::npos);
  log->PrintAlways("no line end, ");
  log->PrintAlways("next\n");
  std::string text = Unix(ReadAll(file));
  EXPECT_TRUE(std::regex_match(text, std::regex(".{24}:line 1\n.{24}:no line end, .{24}:next\n")));
}

TEST_F(SdkLogTest, MessagesAreCutAt1023Bytes) {
  SetDebugMode(true);
  auto log = NewLog();
  std::string message(2000, 'x');
  log->Print("%s", message.c_str());
  std::string text = Unix(ReadAll(log->FilePath()));
  EXPECT_EQ(text.size(), 25u + 1023u);
  EXPECT_EQ(text.substr(25), std::string(1023, 'x'));
}

TEST_F(SdkLogTest, NothingIsWrittenAfterDisable) {
  SetDebugMode(true);
  auto log = NewLog();
  log->PrintAlways("before\n");
  log->Disable();
  log->Print("debug after\n");
  log->PrintAlways("always after\n");
  std::string text = Unix(ReadAll(log->FilePath()));
  EXPECT_NE(text.find("before\n"), std::string::npos);
  EXPECT_EQ(text.find("after"), std::string::npos);
}

TEST_F(SdkLogTest, ClosingAppendsCloseLogOnlyToAnOpenFile) {
  auto log = NewLog();
  log->PrintAlways("x\n");
  fs::path file(log->FilePath());
  log.reset();
  EXPECT_TRUE(Unix(ReadAll(file)).size() > 11);
  EXPECT_EQ(Unix(ReadAll(file)).substr(Unix(ReadAll(file)).size() - 11), "CLOSE LOG!\n");

  auto silent = NewLog();
  fs::remove_all(LogDir());
  silent.reset();
  EXPECT_FALSE(fs::exists(LogDir()));
}

TEST_F(SdkLogTest, LinesAfterClosingAreDroppedAndNeverReopenTheFile) {
  SetDebugMode(true);
  auto log = NewLog();
  log->PrintAlways("first\n");
  fs::path file(log->FilePath());
  log->Close();
  log->PrintAlways("late always\n");
  log->Print("late debug\n");
  log->Close();  // a second close adds nothing
  std::string text = Unix(ReadAll(file));
  EXPECT_TRUE(std::regex_match(text, std::regex(".{24}:first\nCLOSE LOG!\n"))) << text;
  EXPECT_EQ(std::distance(fs::directory_iterator(LogDir()), fs::directory_iterator()), 1);
}

// The process's own log at exit: teardown's line comes before the closing
// line, and nothing of the run is lost to a late reopening of the file.
TEST(SdkLogExitTest, TeardownLineComesBeforeTheClosingLineAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string marker = "exit order check\n";
  // The child runs in a fresh process with its own log file beside this
  // program; files of earlier runs holding the line go first.
  fs::path dir = fs::path(platform::ExecutablePath()).parent_path() / "VextraLog";
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    if (Unix(ReadAll(entry.path())).find(marker) != std::string::npos) fs::remove(entry.path(), ignored);
  }
  EXPECT_EXIT(
      {
        SetDebugMode(true);
        ScheduleTeardownAtExit();
        LogDebug("%s", marker.c_str());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::string child_log;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string text = Unix(ReadAll(entry.path()));
    if (text.find(marker) != std::string::npos) child_log = text;
  }
  ASSERT_NE(child_log, "") << "no log in " << dir << " holds the child's line";
  EXPECT_TRUE(std::regex_search(child_log, std::regex(":" + marker + ".{24}:Term\nCLOSE LOG!\n$"))) << child_log;
}

TEST_F(SdkLogTest, UnwritableDirectoryDropsLinesAndRetriesLater) {
  fs::path blocker = dir.path() / "VextraLog";
  std::ofstream(blocker) << "a file where the directory should be";
  auto log = NewLog();
  log->PrintAlways("dropped\n");
  EXPECT_EQ(log->FilePath(), L"");
  fs::remove(blocker);
  log->PrintAlways("kept\n");
  ASSERT_NE(log->FilePath(), L"");
  std::string text = Unix(ReadAll(log->FilePath()));
  EXPECT_EQ(text.find("dropped"), std::string::npos);
  EXPECT_NE(text.find("kept\n"), std::string::npos);
}

TEST(TimeStampTest, AsctimeFormat) {
  static const struct {
    int year, month, mday, wday, hour, minute, second;
    const char* expected;
  } kCases[] = {
      {2021, 11, 9, 4, 2, 28, 0, "Thu Dec  9 02:28:00 2021"},
      {2026, 0, 31, 6, 23, 59, 59, "Sat Jan 31 23:59:59 2026"},
      {1999, 6, 4, 0, 0, 0, 7, "Sun Jul  4 00:00:07 1999"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expected);
    std::tm t{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month;
    t.tm_mday = c.mday;
    t.tm_wday = c.wday;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    EXPECT_EQ(AsctimeText(t), c.expected);
  }
  EXPECT_EQ(LogTimeStamp().size(), 25u);
  EXPECT_EQ(LogTimeStamp().back(), ':');
}

TEST(LuLoggerTest, LevelPrefixes) {
  static const struct {
    int32_t level;
    const char* prefix;
  } kCases[] = {{0, "V:"}, {1, "D:"}, {2, "I:"}, {3, "W:"}, {4, "A:"},
                {5, "E:"}, {6, "Ex:"}, {7, "U:"}, {-1, "U:"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.level);
    EXPECT_STREQ(LuLogger::LevelPrefix(c.level), c.prefix);
  }
}

TEST(LuLoggerTest, WritesOnlyWithAnAttachedOutput) {
  LuLogger logger;
  EXPECT_TRUE(logger.IsEnabled());
  logger.Log(2, "dropped %d", 1);  // nothing attached: nothing to write to

  vextra_test::TempDir dir;
  fs::path path = dir.path() / "lu.log";
  logger.AttachOutput(std::fopen(path.string().c_str(), "w"));
  logger.Log(5, "queue %s", "full");
  std::string text = Unix(ReadAll(path));
  EXPECT_TRUE(std::regex_match(text, std::regex(".{24}:E:queue full\n"))) << text;
}

}  // namespace
}  // namespace Vextra
