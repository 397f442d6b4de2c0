#include "log/native_log_ring.h"
#include "support/fresh_native_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "log/sdk_log.h"
#include "platform/local_time.h"

namespace Vextra {
namespace {

// --- CircularQueue -------------------------------------------------------------

// Every byte of the ring from index 0, zero bytes shown as '.'.
std::string Contents(const CircularQueue& queue) {
  std::vector<char> bytes(queue.Capacity() + 1);
  uint32_t head = queue.Read(bytes.data(), 0, 1);
  uint32_t tail = queue.Read(bytes.data() + head, 1, 1);
  std::string text(bytes.data(), head + tail);
  for (char& c : text) c = c == '\0' ? '.' : c;
  return text;
}

void WriteAll(CircularQueue& queue, std::initializer_list<const char*> writes) {
  for (const char* text : writes) queue.Write(text, static_cast<uint32_t>(std::char_traits<char>::length(text)));
}

struct WriteCase {
  const char* name;
  std::initializer_list<const char*> writes;
  const char* contents;
  uint32_t position;
};

TEST(CircularQueueTest, WriteStoresBytesAndWraps) {
  static const WriteCase kCases[] = {
      {"fresh ring", {}, "........", 0},
      {"short write", {"abc"}, "abc.....", 3},
      {"fills exactly to the end", {"abc", "defgh"}, "abcdefgh", 0},
      {"whole capacity at once", {"abcdefgh"}, "abcdefgh", 0},
      {"wraps over the oldest bytes", {"abcdef", "ghij"}, "ijcdefgh", 2},
      {"longer than the capacity is ignored", {"ab", "abcdefghi"}, "ab......", 2},
      {"zero length is ignored", {"ab", ""}, "ab......", 2},
  };
  for (const WriteCase& c : kCases) {
    SCOPED_TRACE(c.name);
    CircularQueue queue(8);
    ASSERT_TRUE(queue.Valid());
    WriteAll(queue, c.writes);
    EXPECT_EQ(Contents(queue), c.contents);
    EXPECT_EQ(queue.Position(), c.position);
  }
}

TEST(CircularQueueTest, WriteIgnoresAbsentBytes) {
  CircularQueue queue(8);
  queue.Write(nullptr, 3);
  EXPECT_EQ(Contents(queue), "........");
  EXPECT_EQ(queue.Position(), 0u);
}

struct FindCase {
  const char* name;
  std::initializer_list<const char*> writes;
  const char* pattern;
  int32_t index;
};

TEST(CircularQueueTest, FindSearchesCircularlyFromThePosition) {
  static const FindCase kCases[] = {
      {"match at the position itself", {"ab\ncd\nef", "gh"}, "\n", 2},
      {"first match after the position", {"ab\ncd\nef", "ghi"}, "\n", 5},
      {"match before the position found after wrapping", {"\nabc"}, "\n", 0},
      {"pattern spanning the wrap", {"xxxxxxab", "cd"}, "abc", 6},
      {"no match", {"abcdefgh"}, "\n", -1},
      {"partial match only", {"abcdefgh"}, "gx", -1},
      {"pattern longer than the ring", {"abcdefgh"}, "abcdefghi", -1},
  };
  for (const FindCase& c : kCases) {
    SCOPED_TRACE(c.name);
    CircularQueue queue(8);
    WriteAll(queue, c.writes);
    EXPECT_EQ(queue.Find(c.pattern, static_cast<uint32_t>(std::char_traits<char>::length(c.pattern))), c.index);
  }
}

struct ReadCase {
  const char* name;
  uint32_t start;
  uint32_t end;
  const char* text;  // nullptr: the read fails
};

TEST(CircularQueueTest, ReadStopsAtTheEndOrOneShortOfTheCapacity) {
  static const ReadCase kCases[] = {
      {"plain range", 2, 5, "cde"},
      {"one byte", 3, 4, "d"},
      {"range over the wrap", 6, 2, "ghab"},
      {"start equal to end copies capacity - 1", 3, 3, "defghab"},
      {"end outside the ring copies capacity - 1", 3, 100, "defghab"},
      {"start outside the ring fails", 8, 2, nullptr},
  };
  CircularQueue queue(8);
  WriteAll(queue, {"abcdefgh"});
  for (const ReadCase& c : kCases) {
    SCOPED_TRACE(c.name);
    char out[16] = {};
    uint32_t copied = queue.Read(out, c.start, c.end);
    if (c.text == nullptr) {
      EXPECT_EQ(copied, 0u);
    } else {
      EXPECT_EQ(std::string(out, copied), c.text);
    }
  }
  EXPECT_EQ(queue.Read(nullptr, 0, 2), 0u);
}

TEST(CircularQueueTest, ReadCopiesAtLeastOneByte) {
  CircularQueue queue(1);
  WriteAll(queue, {"z"});
  char out[2] = {};
  EXPECT_EQ(queue.Read(out, 0, 0), 1u);
  EXPECT_EQ(out[0], 'z');
}

// --- Levels ---------------------------------------------------------------------

TEST(NativeLogLevelTest, LevelsAreClampedAndNamed) {
  static const struct {
    int32_t level;
    int32_t clamped;
    const char* name;
  } kCases[] = {
      {INT_MIN, 0, "V"}, {-3, 0, "V"}, {0, 0, "V"}, {1, 1, "D"},  {2, 2, "I"},       {3, 3, "W"},
      {4, 4, "A"},       {5, 5, "E"},  {6, 6, "Ex"}, {9, 6, "Ex"}, {INT_MAX, 6, "Ex"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.level);
    EXPECT_EQ(ClampNativeLogLevel(c.level), c.clamped);
    EXPECT_STREQ(NativeLogLevelName(c.level), c.name);
  }
}

// --- The process's ring -------------------------------------------------------------

const std::regex kRecordLine(R"(\d\d-\d\d \d\d:\d\d:\d\d (V|D|I|W|A|E|Ex) (\S+) (.*))");

class NativeLogTest : public vextra_test::FreshNativeLogTest {
 protected:
  // The ring's text as report assembly reads it (1 MiB buffer).
  static std::string ReadText() {
    std::vector<char> buffer(1 << 20, 'X');
    if (!ReadNativeLog(buffer.data(), static_cast<uint32_t>(buffer.size() - 1))) return "<read failed>";
    return buffer.data();
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
      lines.push_back(text.substr(begin, end - begin));
    }
    EXPECT_EQ(begin, text.size()) << "text does not end with a separator";
    return lines;
  }

  static bool Print(int32_t level, const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool stored = VPrintNativeLog(level, tag, format, args);
    va_end(args);
    return stored;
  }
};

std::string LocalTimeText(std::time_t when) {
  std::tm local{};
  platform::ToLocalTime(when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%m-%d %H:%M:%S", &local);
  return text;
}

TEST_F(NativeLogTest, RecordIsLocalTimeLevelTagAndMessage) {
  std::time_t before = std::time(nullptr);
  ASSERT_TRUE(Print(3, "Game", "hp %d of %s", 42, "hero"));
  std::time_t after = std::time(nullptr);

  std::string text = ReadText();
  ASSERT_GT(text.size(), 15u);
  std::string stamp = text.substr(0, 14);
  EXPECT_TRUE(stamp == LocalTimeText(before) || stamp == LocalTimeText(after)) << stamp;
  EXPECT_EQ(text.substr(14), " W Game hp 42 of hero\n");
}

TEST_F(NativeLogTest, ReadBeforeAnyAppendFailsAndCreatesNoRing) {
  char buffer[kNativeLogCapacity];
  EXPECT_FALSE(ReadNativeLog(buffer, sizeof buffer));
  EXPECT_FALSE(ReadNativeLog(buffer, sizeof buffer));
}

TEST_F(NativeLogTest, FreshRingReadsAsEmptyText) {
  InitNativeLog();
  EXPECT_EQ(ReadText(), "");
}

TEST_F(NativeLogTest, ReadNeedsABufferOfTheWholeRing) {
  ASSERT_TRUE(AppendNativeLog("I", "Game", "hello"));
  std::vector<char> buffer(kNativeLogCapacity, 'X');

  EXPECT_FALSE(ReadNativeLog(buffer.data(), kNativeLogCapacity - 1));
  EXPECT_EQ(buffer[0], 'X') << "a refused read leaves the buffer";
  EXPECT_FALSE(ReadNativeLog(nullptr, kNativeLogCapacity));
  ASSERT_TRUE(ReadNativeLog(buffer.data(), kNativeLogCapacity));
  EXPECT_EQ(std::string(buffer.data()).substr(14), " I Game hello\n");
}

TEST_F(NativeLogTest, NullTextsStoreNothing) {
  InitNativeLog();
  EXPECT_FALSE(AppendNativeLog(nullptr, "Game", "m"));
  EXPECT_FALSE(AppendNativeLog("I", nullptr, "m"));
  EXPECT_FALSE(AppendNativeLog("I", "Game", nullptr));
  EXPECT_FALSE(Print(2, nullptr, "m"));
  EXPECT_FALSE(Print(2, "Game", nullptr));
  EXPECT_EQ(ReadText(), "");
}

TEST_F(NativeLogTest, OverflowKeepsOnlyWholeRecordsNewestLast) {
  // Records of varying length, 40,000 bytes in all; each message names its number.
  std::vector<std::string> messages;
  size_t written = 0;
  for (int i = 0; written < 40000; ++i) {
    std::string message = "rec" + std::to_string(i) + "-" + std::string(20 + (i * 37) % 90, 'a' + i % 26);
    ASSERT_TRUE(AppendNativeLog("W", "Game", message.c_str()));
    written += 14 + 8 + message.size() + 1;
    messages.push_back(message);
  }

  std::string text = ReadText();
  std::vector<std::string> lines = Lines(text);
  ASSERT_FALSE(lines.empty());
  size_t first = messages.size() - lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, kRecordLine)) << lines[i];
    EXPECT_EQ(match[3].str(), messages[first + i]);
  }
  // The record before the oldest one shown would not have fitted whole.
  ASSERT_GT(first, 0u);
  size_t previous_record = 14 + 8 + messages[first - 1].size() + 1;
  EXPECT_GE(text.size() + previous_record, kNativeLogCapacity);
  EXPECT_LE(text.size(), kNativeLogCapacity - 1);
}

TEST_F(NativeLogTest, RecordsLongerThanTheRingAreLeftOutAndHistoryStays) {
  // Prefix "MM-DD hh:mm:ss I Game " is 22 bytes.
  static const struct {
    const char* name;
    size_t record_length;
    const char* stored;  // "whole", "cut" (by its last byte) or "none"
  } kCases[] = {
      {"one short of the ring fills it", kNativeLogCapacity - 1, "whole"},
      {"exactly the ring keeps all but its last byte", kNativeLogCapacity, "cut"},
      {"one past the ring", kNativeLogCapacity + 1, "none"},
      {"far beyond the ring", 40000, "none"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing_hooks::ResetNativeLogForTesting();
    ASSERT_TRUE(AppendNativeLog("I", "Game", "older"));
    std::string message(c.record_length - 22, 'm');
    ASSERT_TRUE(AppendNativeLog("I", "Game", message.c_str()));

    std::string text = ReadText();
    if (std::string(c.stored) == "none") {
      // Only the separator went in: the older record reads back, followed by
      // the empty line the separator makes.
      EXPECT_EQ(text.substr(14), " I Game older\n\n");
    } else {
      // The record fills the ring, so the older one is gone; no zero byte got in.
      EXPECT_EQ(text.size(), kNativeLogCapacity - 1u);
      EXPECT_EQ(text.substr(14), (" I Game " + message).substr(0, kNativeLogCapacity - 1 - 14));
    }
    // The next record starts cleanly after it.
    ASSERT_TRUE(AppendNativeLog("I", "Game", "after"));
    EXPECT_EQ(Lines(ReadText()).back().substr(14), " I Game after");
  }
}

// The fresh ring's separator sits at index 0, so a 30,718-byte record ends
// with its separator on the ring's last index; the record after it wraps to
// index 0 and the read must start there, not one past the end.
TEST_F(NativeLogTest, SeparatorOnTheLastIndexReadsFromTheRingsStart) {
  InitNativeLog();
  const std::string message(30718 - 22, 'm');
  ASSERT_TRUE(AppendNativeLog("I", "Game", message.c_str()));
  ASSERT_TRUE(AppendNativeLog("I", "Game", "next"));

  std::vector<char> buffer(kNativeLogCapacity, 'X');
  ASSERT_TRUE(ReadNativeLog(buffer.data(), kNativeLogCapacity));
  EXPECT_EQ(std::string(buffer.data()).substr(14), " I Game next\n");
}

TEST_F(NativeLogTest, OversizedRecordKeepsTheHundredRecordsBeforeIt) {
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(AppendNativeLog("I", "Game", ("record " + std::to_string(i)).c_str()));
  std::string huge(40000, 'h');
  ASSERT_TRUE(PrintNativeLogMessage(2, "Game", "fits"));
  ASSERT_TRUE(AppendNativeLog("E", "Game", huge.c_str()));

  std::vector<std::string> lines = Lines(ReadText());
  ASSERT_EQ(lines.size(), 102u);
  for (int i = 0; i < 100; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(lines[i].substr(14), " I Game record " + std::to_string(i));
  }
  EXPECT_EQ(lines[100].substr(14), " I Game fits");
  EXPECT_EQ(lines[101], "");
}

// Defined below: the SDK log lines written while action runs.
std::vector<std::string> SdkLogLinesDuring(const std::function<void()>& action);

// A lock that another thread keeps (one that faulted inside an append never
// lets go) or that the reader itself holds: the read gives up after a short
// wait, leaves the buffer empty and says so in the SDK log.
TEST_F(NativeLogTest, ReadGivesUpOnALockItCannotTake) {
  ASSERT_TRUE(AppendNativeLog("I", "Game", "kept"));
  auto busy_read = [] {
    std::vector<char> buffer(kNativeLogCapacity, 'X');
    const auto start = std::chrono::steady_clock::now();
    const bool read = ReadNativeLog(buffer.data(), kNativeLogCapacity);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(read);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_LT(waited, std::chrono::seconds(5));
  };

  SCOPED_TRACE("another thread holds the lock");
  std::promise<void> holding;
  std::promise<void> release;
  std::thread holder([&] {
    testing_hooks::HoldNativeLogLockForTesting([&] {
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();
  EXPECT_EQ(SdkLogLinesDuring(busy_read),
            std::vector<std::string>{"Native log is busy; it is left out.\n"});
  release.set_value();
  holder.join();

  SCOPED_TRACE("the reading thread holds the lock itself");
  testing_hooks::HoldNativeLogLockForTesting(busy_read);

  SCOPED_TRACE("once the lock is free the read succeeds again");
  EXPECT_EQ(ReadText().substr(14), " I Game kept\n");
}

TEST_F(NativeLogTest, AppendGivesUpOnALockItCannotTake) {
  InitNativeLog();
  std::promise<void> holding;
  std::promise<void> release;
  std::thread holder([&] {
    testing_hooks::HoldNativeLogLockForTesting([&] {
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();
  EXPECT_FALSE(AppendNativeLog("I", "Game", "dropped"));
  release.set_value();
  holder.join();
  // Re-entry on the holding thread drops the record instead of blocking.
  testing_hooks::HoldNativeLogLockForTesting([] { EXPECT_FALSE(AppendNativeLog("I", "Game", "re-entered")); });
  ASSERT_TRUE(AppendNativeLog("I", "Game", "stored"));
  EXPECT_EQ(ReadText().substr(14), " I Game stored\n");
}

struct ThresholdCase {
  const char* name;
  int32_t log_level;
  int32_t level;
  const char* stored_name;  // nullptr: nothing stored
};

TEST_F(NativeLogTest, LevelsBelowTheThresholdStoreNothingButSucceed) {
  static const ThresholdCase kCases[] = {
      {"default threshold, level 0", 2, 0, nullptr},
      {"default threshold, level 1", 2, 1, nullptr},
      {"default threshold, level 2", 2, 2, "I"},
      {"level above 6 is Ex", 2, 9, "Ex"},
      {"negative level is V but below the default", 2, -3, nullptr},
      {"negative level stored at threshold 0", 0, -3, "V"},
      {"negative threshold lets everything in", -5, 0, "V"},
      {"threshold above 6 stores nothing", 7, 6, nullptr},
  };
  for (const ThresholdCase& c : kCases) {
    SCOPED_TRACE(c.name);
    testing_hooks::ResetNativeLogForTesting();
    InitNativeLog();
    CommonInfo::Instance().SetLogLevel(c.log_level);

    EXPECT_TRUE(Print(c.level, "Tag", "msg %d", 7));

    std::string text = ReadText();
    if (c.stored_name == nullptr) {
      EXPECT_EQ(text, "");
    } else {
      EXPECT_EQ(text.substr(14), std::string(" ") + c.stored_name + " Tag msg 7\n");
    }
  }
}

TEST_F(NativeLogTest, FormattedMessageKeepsAtMost4094Characters) {
  std::string long_text(5000, 'q');
  ASSERT_TRUE(Print(2, "Tag", "%s", long_text.c_str()));
  EXPECT_EQ(ReadText().substr(14), " I Tag " + std::string(4094, 'q') + "\n");
}

TEST_F(NativeLogTest, ZeroByteInAFormattedMessageEndsItWithoutHidingLaterRecords) {
  ASSERT_TRUE(Print(2, "Game", "before%cafter", 0));
  ASSERT_TRUE(Print(2, "Game", "next"));

  std::vector<std::string> lines = Lines(ReadText());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(14), " I Game before");
  EXPECT_EQ(lines[1].substr(14), " I Game next");
}

// The lines the process's SDK log gains while action runs, without their
// 25-character time stamps ("Thu Dec  9 02:28:00 2021:").
std::vector<std::string> SdkLogLinesDuring(const std::function<void()>& action) {
  namespace fs = std::filesystem;
  std::wstring before = SdkLog::Instance().FilePath();
  std::error_code ignored;
  uintmax_t offset = before.empty() ? 0 : fs::file_size(fs::path(before), ignored);
  action();
  std::wstring path = SdkLog::Instance().FilePath();
  if (path.empty()) return {};
  if (path != before) offset = 0;
  std::ifstream in{fs::path(path), std::ios::binary};
  in.seekg(static_cast<std::streamoff>(offset));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // text mode on Windows
    EXPECT_GE(line.size(), 25u);
    if (line.size() >= 25) lines.push_back(line.substr(25) + "\n");
  }
  return lines;
}

struct SdkLineCase {
  const char* name;
  bool debug_mode;
  bool ring_exists;
  std::function<void()> action;
  std::vector<std::string> lines;
};

TEST_F(NativeLogTest, WritesItsSdkLogLinesInOrder) {
  static auto print = [](int32_t level, const char* format, auto... args) {
    NativeLogTest::Print(level, "Game", format, args...);
  };
  static auto read = [](uint32_t size) {
    std::vector<char> buffer(kNativeLogCapacity);
    ReadNativeLog(buffer.data(), size);
  };
  const SdkLineCase kCases[] = {
      {"append creates the ring", true, false, [] { AppendNativeLog("I", "Game", "m"); },
       {"Native log has not been initiated.\n", "Initiate native log.\n"}},
      {"print logs the clamped level and the message before appending", true, false, [] { print(9, "hp %d", 42); },
       {"print log info is 6 Game hp 42 \n", "Native log has not been initiated.\n", "Initiate native log.\n"}},
      {"print into an existing ring", true, true, [] { print(2, "%s", "ok"); }, {"print log info is 2 Game ok \n"}},
      {"below the threshold nothing is logged", true, true, [] { print(1, "quiet"); }, {}},
      {"init of an existing ring is silent", true, true, [] { InitNativeLog(); }, {}},
      {"read of a fresh ring logs the whole ring's length", true, true, [] { read(kNativeLogCapacity); },
       {"Length of native log: 30719 byte.\n"}},
      {"read without a ring", true, false, [] { read(kNativeLogCapacity); },
       {"Native log has not been initiated.\n"}},
      {"short buffer is an always-written line", false, true, [] { read(kNativeLogCapacity - 1); },
       {"Buffer is not enough to save whole native log.\n"}},
      {"debug lines need debug mode", false, false,
       [] {
         print(2, "m");
         read(kNativeLogCapacity);
       },
       {}},
  };
  for (const SdkLineCase& c : kCases) {
    SCOPED_TRACE(c.name);
    testing_hooks::ResetNativeLogForTesting();
    SetDebugMode(false);
    if (c.ring_exists) InitNativeLog();
    SetDebugMode(c.debug_mode);

    EXPECT_EQ(SdkLogLinesDuring(c.action), c.lines);
    SetDebugMode(false);
  }
}

TEST_F(NativeLogTest, ConcurrentAppendsAndReadsSeeOnlyWholeRecords) {
  // Each message carries its own length, so a torn record cannot pass.
  auto message_for = [](int thread, int i) {
    std::string body(5 + (i * 13 + thread * 7) % 120, static_cast<char>('a' + thread));
    return "t" + std::to_string(thread) + "-" + std::to_string(i) + "-" + std::to_string(body.size()) + "-" + body;
  };
  // Every line "MM-DD hh:mm:ss A Worker t<thread>-<i>-<length>-<body of that length>".
  auto whole_line = [](const std::string& line) {
    static const char kStamp[] = "00-00 00:00:00";
    if (line.size() < 24) return false;
    for (size_t i = 0; i < 14; ++i) {
      if ((kStamp[i] == '0') != (line[i] >= '0' && line[i] <= '9')) return false;
      if (kStamp[i] != '0' && line[i] != kStamp[i]) return false;
    }
    if (line.compare(14, 10, " A Worker ") != 0) return false;
    unsigned thread = 0, index = 0, length = 0;
    int body = 0;
    if (std::sscanf(line.c_str() + 24, "t%u-%u-%u-%n", &thread, &index, &length, &body) != 3 || body == 0) {
      return false;
    }
    std::string rest = line.substr(24 + body);
    return rest.size() == length && rest.find_first_not_of(static_cast<char>('a' + thread)) == std::string::npos;
  };
  auto check_whole = [&](const std::string& text) {
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
      if (!whole_line(text.substr(begin, end - begin))) return false;
    }
    return begin == text.size();
  };

  InitNativeLog();
  constexpr int kThreads = 4;
  constexpr int kRecordsPerThread = 2000;
  // The reads start once every writer has stored a record and go on, a
  // thousand at least, until every writer has stored 2000; each writer goes on
  // past its 2000 until the reads are done, so every read falls among appends.
  std::atomic<int> writing{0};
  std::atomic<int> past_minimum{0};
  std::atomic<bool> reads_done{false};
  std::vector<int> last_index(kThreads, -1);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0;; ++i) {
        Print(4, "Worker", "%s", message_for(t, i).c_str());
        if (i == 0) ++writing;
        if (i + 1 == kRecordsPerThread) ++past_minimum;
        if (i + 1 >= kRecordsPerThread && reads_done) {
          last_index[t] = i;
          break;
        }
      }
    });
  }
  while (writing < kThreads) std::this_thread::yield();
  int torn_reads = 0;
  for (int r = 0; r < 1000 || past_minimum < kThreads; ++r) {
    if (!check_whole(ReadText())) ++torn_reads;
  }
  reads_done = true;
  for (std::thread& writer : writers) writer.join();

  EXPECT_EQ(torn_reads, 0);
  std::string text = ReadText();
  EXPECT_TRUE(check_whole(text));
  // The newest record of all is the last record of whichever thread ended last.
  std::vector<std::string> lines = Lines(text);
  ASSERT_FALSE(lines.empty());
  bool newest_last = false;
  for (int t = 0; t < kThreads; ++t) {
    newest_last = newest_last || lines.back().substr(14) == " A Worker " + message_for(t, last_index[t]);
  }
  EXPECT_TRUE(newest_last) << lines.back();
}

}  // namespace
}  // namespace Vextra
