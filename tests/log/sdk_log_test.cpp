#include "log/sdk_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <future>
#include <memory>
#include <ctime>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/process_flags.h"
#include "app/teardown.h"
#include "log/lu_logger.h"
#include "log/time_stamp.h"
#include "platform/local_time.h"
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
  const long long before = static_cast<long long>(std::time(nullptr));
  log->PrintAlways("line %d\n", 1);
  const long long after = static_cast<long long>(std::time(nullptr));
  ASSERT_TRUE(fs::is_directory(LogDir()));
  fs::path file(log->FilePath());
  EXPECT_EQ(file.parent_path(), LogDir());
  // "Vextra.<seconds since the epoch when opened>.<process id>.log"
  std::smatch name;
  const std::string file_name = file.filename().string();
  ASSERT_TRUE(std::regex_match(file_name, name, std::regex("Vextra\\.(-?\\d+)\\.(\\d+)\\.log"))) << file_name;
  EXPECT_GE(std::stoll(name[1].str()), before);
  EXPECT_LE(std::stoll(name[1].str()), after);
  EXPECT_EQ(name[2].str(), std::to_string(platform::ProcessId()));
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
      {2000, 1, 10, 4, 10, 5, 9, "Thu Feb 10 10:05:09 2000"},
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
    char text[kAsctimeChars + 1];
    FormatAsctime(t, text);
    EXPECT_STREQ(text, c.expected);
  }
  char stamp[kLogTimeStampBytes];
  WriteLogTimeStamp(stamp);
  EXPECT_TRUE(std::regex_match(stamp, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}:")))
      << stamp;
}

// The lock-free local time equals the C runtime's conversion, both when it
// learns the zone offset (first call for a second) and when it reuses it.
TEST(TimeStampTest, LocalCalendarTimeMatchesTheRuntimeConversion) {
  const std::time_t now = std::time(nullptr);
  const std::time_t kInstants[] = {now, now + 86400 * 183, 0, 951782400 /* 2000-02-29 */, 4102444799 /* 2099-12-31 */};
  for (std::time_t when : kInstants) {
    SCOPED_TRACE(static_cast<long long>(when));
    std::tm expected{};
    ASSERT_TRUE(platform::ToLocalTime(when, &expected));
    for (const char* pass : {"learning the offset", "reusing it"}) {
      SCOPED_TRACE(pass);
      std::tm local{};
      LocalCalendarTime(when, &local);
      EXPECT_EQ(local.tm_year, expected.tm_year);
      EXPECT_EQ(local.tm_mon, expected.tm_mon);
      EXPECT_EQ(local.tm_mday, expected.tm_mday);
      EXPECT_EQ(local.tm_wday, expected.tm_wday);
      EXPECT_EQ(local.tm_hour, expected.tm_hour);
      EXPECT_EQ(local.tm_min, expected.tm_min);
      EXPECT_EQ(local.tm_sec, expected.tm_sec);
    }
  }
}

// A thread that enters the log again while it holds the lock (a fault handler
// that logs) writes at once instead of waiting on itself.
TEST_F(SdkLogTest, ReenteringThreadWritesWithoutWaitingOnItself) {
  auto log = NewLog();
  log->PrintAlways("opened\n");
  const auto start = std::chrono::steady_clock::now();
  log->HoldLockForTesting([&] { log->PrintAlways("Exception occured.\n"); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kSdkLogLineWaitMs));
  log->PrintAlways("after\n");
  EXPECT_TRUE(std::regex_match(Unix(ReadAll(log->FilePath())),
                               std::regex(".{24}:opened\n.{24}:Exception occured.\n.{24}:after\n")));
}

// A holder that never lets go (a thread that died holding the lock): lines
// still go out whole after one bounded wait, and the closing line follows.
TEST_F(SdkLogTest, HolderThatNeverLetsGoCostsOneBoundedWait) {
  auto log = NewLog();
  log->PrintAlways("opened\n");
  const std::wstring path = log->FilePath();
  std::promise<void> holding;
  std::promise<void> release;
  std::thread holder([&] {
    log->HoldLockForTesting([&] {
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) log->PrintAlways("line %d\n", i);
  log->Close();
  log->PrintAlways("late\n");
  const auto waited = std::chrono::steady_clock::now() - start;
  release.set_value();
  holder.join();

  EXPECT_LT(waited, std::chrono::milliseconds(3 * kSdkLogLineWaitMs));
  std::string expected = ".{24}:opened\n";
  for (int i = 0; i < 20; ++i) expected += ".{24}:line " + std::to_string(i) + "\n";
  expected += "CLOSE LOG!\n";
  EXPECT_TRUE(std::regex_match(Unix(ReadAll(path)), std::regex(expected))) << Unix(ReadAll(path));
}

TEST_F(SdkLogTest, ConcurrentLinesStayWholeAndNoneIsLost) {
  auto log = NewLog();
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) log->PrintAlways("thread %d line %d %s\n", t, i, std::string(t * 40, 'x').c_str());
    });
  }
  for (std::thread& writer : writers) writer.join();
  log->Close();
  std::istringstream text(Unix(ReadAll(log->FilePath())));
  const std::regex whole(".{24}:thread (\\d) line (\\d+) (x*)");
  std::vector<int> next(kThreads, 0);
  std::string line;
  int lines = 0;
  while (std::getline(text, line) && line != "CLOSE LOG!") {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
    const int t = std::stoi(match[1]);
    EXPECT_EQ(std::stoi(match[2]), next[t]++) << "lines of one thread keep their order";
    EXPECT_EQ(match[3].length(), t * 40);
    ++lines;
  }
  EXPECT_EQ(lines, kThreads * kLines);
  EXPECT_EQ(line, "CLOSE LOG!");
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
