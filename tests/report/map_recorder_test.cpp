#include "report/map_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/after_exit.h"
#include "vextra.h"

namespace Vextra {
namespace {

// Dumps into a zeroed 1 MiB buffer, as report assembly does.
std::string DumpText(MapRecorder& recorder, bool* dumped = nullptr) {
  std::vector<char> buffer(1048576, '\0');
  bool result = recorder.Dump(buffer.data(), buffer.size() - 1);
  if (dumped != nullptr) *dumped = result;
  return std::string(buffer.data());
}

size_t CountOccurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(MapRecorderTest, DumpBeforeAnySetReturnsFalseAndWritesNothing) {
  MapRecorder recorder;
  // Null keys and values are ignored, so they do not count as a first Set.
  recorder.Set(nullptr, "value");
  recorder.Set("key", nullptr);
  EXPECT_EQ(recorder.Remove("key"), 0);
  bool dumped = true;
  EXPECT_EQ(DumpText(recorder, &dumped), "");
  EXPECT_FALSE(dumped);
}

TEST(MapRecorderTest, DumpListsNewestFirstAndSetReplacesAKey) {
  static const struct {
    const char* name;
    std::vector<std::pair<const char*, const char*>> sets;
    const char* dump;
  } kCases[] = {
      {"newest first", {{"a", "1"}, {"b", "2"}}, "b=2\na=1\n"},
      {"same key twice keeps one pair", {{"k", "1"}, {"k", "2"}}, "k=2\n"},
      {"a replaced key moves to the front", {{"a", "1"}, {"b", "2"}, {"a", "3"}}, "a=3\nb=2\n"},
      {"empty value", {{"k", ""}}, "k=\n"},
      {"keys are compared byte for byte", {{"Key", "1"}, {"key", "2"}, {"key ", "3"}}, "key =3\nkey=2\nKey=1\n"},
      {"value with '=' and spaces", {{"path", "a=b c"}}, "path=a=b c\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    MapRecorder recorder;
    for (const auto& [key, value] : c.sets) recorder.Set(key, value);
    bool dumped = false;
    EXPECT_EQ(DumpText(recorder, &dumped), c.dump);
    EXPECT_TRUE(dumped);
  }
}

TEST(MapRecorderTest, RemoveTakesThePairAndCopiesItsValue) {
  MapRecorder recorder;
  recorder.Set("a", "first");
  recorder.Set("b", "second value");
  recorder.Set("c", "third");

  char buffer[32] = {};
  EXPECT_EQ(recorder.Remove("b", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "second value");
  EXPECT_EQ(recorder.Remove("b", buffer, sizeof buffer), 0);
  EXPECT_EQ(recorder.Remove("missing"), 0);
  EXPECT_EQ(recorder.Remove(nullptr), 0);
  EXPECT_EQ(DumpText(recorder), "c=third\na=first\n");

  // The value is cut to the buffer and terminated; bytes past the size stay.
  char small[8];
  std::fill(std::begin(small), std::end(small), '#');
  EXPECT_EQ(recorder.Remove("a", small, 4), 1);
  EXPECT_STREQ(small, "fir");
  EXPECT_EQ(small[4], '#');

  // Without a buffer, or with size 0, the pair is still removed.
  EXPECT_EQ(recorder.Remove("c", small, 0), 1);
  EXPECT_EQ(small[0], 'f');

  // Once something was set, an emptied store still dumps true.
  bool dumped = false;
  EXPECT_EQ(DumpText(recorder, &dumped), "");
  EXPECT_TRUE(dumped);
}

TEST(MapRecorderTest, DumpStopsAtTheRunningTotalBound) {
  // Pairs given oldest first as (key length, value length); the dump runs
  // newest first and keeps the lines before the total reaches 0x20000.
  static const struct {
    const char* name;
    std::vector<std::pair<size_t, size_t>> pairs;
    size_t lines;
  } kCases[] = {
      {"70,000-byte key and value are not written", {{70000, 70000}}, 0},
      {"nothing after a pair over the bound", {{1, 1}, {1, 1}, {70000, 70000}}, 0},
      {"total of 131,071 is written", {{65535, 65535}}, 1},
      {"total of 131,072 is not", {{65535, 65536}}, 0},
      {"the bound counts across lines", {{1, 1}, {65535, 0}, {65534, 0}}, 2},
      {"small pairs all fit", {{1, 1}, {2, 2}, {3, 3}}, 3},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    MapRecorder recorder;
    std::vector<std::string> expected_lines;
    char letter = 'a';
    for (const auto& [key_length, value_length] : c.pairs) {
      const std::string key(key_length, letter++);
      const std::string value(value_length, 'v');
      recorder.Set(key.c_str(), value.c_str());
      expected_lines.insert(expected_lines.begin(), key + "=" + value + "\n");
    }
    std::string expected;
    for (size_t i = 0; i < c.lines; ++i) expected += expected_lines[i];
    EXPECT_EQ(DumpText(recorder), expected);
  }
}

TEST(MapRecorderTest, DumpNeverWritesPastTheGivenSize) {
  static const struct {
    size_t size;
    const char* text;
  } kCases[] = {
      {9, "b=2\na=1\n"},  // both lines and the terminator fit exactly
      {8, "b=2\n"},       // the second line would leave no room for the terminator
      {4, ""},
      {1, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.size);
    MapRecorder recorder;
    recorder.Set("a", "1");
    recorder.Set("b", "2");
    char buffer[32];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    EXPECT_TRUE(recorder.Dump(buffer, c.size));
    EXPECT_STREQ(buffer, c.text);
    for (size_t i = c.size; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#') << i;
  }
}

TEST(MapRecorderTest, ConcurrentSetsOfOneKeyLeaveOnePair) {
  MapRecorder recorder;
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&recorder, t] {
      const std::string own = "own" + std::to_string(t);
      std::vector<char> buffer(1 << 16);
      for (int i = 0; i < kRounds; ++i) {
        recorder.Set("shared", std::to_string(t * kRounds + i).c_str());
        recorder.Set(own.c_str(), std::to_string(i).c_str());
        recorder.Dump(buffer.data(), buffer.size());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const std::string text = DumpText(recorder);
  EXPECT_EQ(CountOccurrences(text, "shared="), 1u) << text;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_NE(text.find("own" + std::to_string(t) + "=" + std::to_string(kRounds - 1) + "\n"),
              std::string::npos)
        << text;
  }
  EXPECT_EQ(CountOccurrences(text, "\n"), static_cast<size_t>(kThreads + 1));
}

// Dump may run on a faulting thread: a lock another thread keeps (one that
// faulted inside Set), or that the caller holds itself, makes it give up after
// a short wait with an empty text instead of blocking.
TEST(MapRecorderTest, DumpGivesUpOnALockItCannotTake) {
  MapRecorder recorder;
  recorder.Set("Exception Type", "PureCall");
  auto busy_dump = [&] {
    std::vector<char> buffer(64, 'X');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(recorder.Dump(buffer.data(), buffer.size() - 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(buffer[0], '\0');
  };
  std::promise<void> holding;
  std::promise<void> release;
  std::thread holder([&] {
    recorder.HoldLockForTesting([&] {
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();
  {
    SCOPED_TRACE("another thread holds the lock");
    busy_dump();
    recorder.Set("dropped", "1");  // gives up after its own bounded wait
  }
  release.set_value();
  holder.join();
  {
    SCOPED_TRACE("the dumping thread holds the lock itself");
    recorder.HoldLockForTesting(busy_dump);
  }
  EXPECT_EQ(DumpText(recorder), "Exception Type=PureCall\n");
}

TEST(MapRecorderExitTest, PairsOutliveTheStaticDestructors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        vextra_test::CheckAtExit([] {
          char buffer[64] = {};
          return MapRecorder::Instance().Dump(buffer, sizeof buffer - 1) &&
                 std::string(buffer) == "Exception Type=invalidParameer\n";
        });
        MapRecorder::Instance().Set("Exception Type", "invalidParameer");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(UserValueExportsTest, StoreThePairInTheProcessStore) {
  MapRecorder& store = MapRecorder::Instance();
  SetUserValue("export-key", "1");
  VX_SetUserValue("export-key", "2");
  VX_SetUserValue("vx-key", "value");
  SetUserValue(nullptr, "ignored");
  VX_SetUserValue("null-value", nullptr);

  char buffer[16] = {};
  EXPECT_EQ(store.Remove("export-key", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "2");
  EXPECT_EQ(store.Remove("export-key"), 0) << "the second call replaced the first pair";
  EXPECT_EQ(store.Remove("vx-key", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "value");
  EXPECT_EQ(store.Remove("null-value"), 0);
}

}  // namespace
}  // namespace Vextra
