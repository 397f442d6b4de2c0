// The remote strategy: switch rules, the first-update rule, storing, the
// published JSON text and concurrent updates.

#include "uploader/strategy_manager.h"

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/common_info.h"
#include "db/db_manager.h"
#include "support/temp_dir.h"

namespace {

using Vextra::CommonInfo;
using Vextra::RenderStrategyJson;
using Vextra::StrategyManager;
using Vextra::StrategyMap;

constexpr char kDisable[] = "KEY_VEXTRA_DISABLE";
constexpr char kMerge[] = "KEY_MERGE_IMPROVE";

// Parses JSON with an independent parser; false when the text is not valid
// JSON or not an object of strings.
bool ParseJsonObject(const std::string& json, StrategyMap* out) {
  google::protobuf::Struct object;
  if (!google::protobuf::util::JsonStringToMessage(json, &object).ok()) return false;
  out->clear();
  for (const auto& [key, value] : object.fields()) {
    if (value.kind_case() != google::protobuf::Value::kStringValue) return false;
    (*out)[key] = value.string_value();
  }
  return true;
}

// Records what the manager stores.
struct FakeStore {
  std::vector<StrategyMap> saved;
  StrategyManager::StrategyStore Callable() {
    return [this](const StrategyMap& strategy) {
      saved.push_back(strategy);
      return true;
    };
  }
};

class StrategyManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { CommonInfo::Instance().ResetForTesting(); }
  void TearDown() override { CommonInfo::Instance().ResetForTesting(); }
  static std::string Published() { return CommonInfo::Instance().GetStrategyJson(); }
};

TEST(StrategyJsonTest, AnyKeyOrValueGivesValidJsonOfTheSamePairs) {
  static const struct {
    const char* name;
    StrategyMap strategy;
    const char* exact;  // the text where it is fixed, else null
  } kCases[] = {
      {"one pair", {{kDisable, "1"}}, "{\"KEY_VEXTRA_DISABLE\":\"1\"}"},
      {"key order",
       {{kMerge, "0"}, {kDisable, "1"}, {"A", ""}},
       "{\"A\":\"\",\"KEY_MERGE_IMPROVE\":\"0\",\"KEY_VEXTRA_DISABLE\":\"1\"}"},
      {"quote and backslash", {{"say \"hi\"", "C:\\dir\\"}}, "{\"say \\\"hi\\\"\":\"C:\\\\dir\\\\\"}"},
      {"control characters",
       {{"tab\tkey", "line1\nline2\r\x01\x1f"}},
       "{\"tab\\tkey\":\"line1\\nline2\\r\\u0001\\u001F\"}"},
      {"single quote, slash, DEL", {{"it's", "a/b\x7f"}}, "{\"it's\":\"a/b\x7f\"}"},
      {"UTF-8 text",
       {{"\xE7\x8E\xA9", "J\xC3\xA9r\xC3\xB4me"}},
       "{\"\xE7\x8E\xA9\":\"J\xC3\xA9r\xC3\xB4me\"}"},
      {"empty key", {{"", "v"}}, "{\"\":\"v\"}"},
      {"braces and colons", {{"{\"k\":", "}:,"}}, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string json = RenderStrategyJson(c.strategy);
    if (c.exact != nullptr) EXPECT_EQ(json, c.exact);
    StrategyMap parsed;
    ASSERT_TRUE(ParseJsonObject(json, &parsed)) << json;
    EXPECT_EQ(parsed, c.strategy);
  }
}

TEST(StrategyJsonTest, BytesThatAreNotUtf8StillGiveValidJson) {
  const std::string json = RenderStrategyJson({{"k\xE9", "v\xFF\""}});
  StrategyMap parsed;
  ASSERT_TRUE(ParseJsonObject(json, &parsed)) << json;
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed.begin()->second.back(), '"');
}

TEST_F(StrategyManagerTest, SwitchIsOnForEveryValueButZero) {
  static const struct {
    const char* name;
    StrategyMap strategy;
    bool disabled;
    bool mergeImprove;
  } kCases[] = {
      {"disable 1", {{kDisable, "1"}}, true, true},
      {"disable 0", {{kDisable, "0"}}, false, true},
      {"disable empty text", {{kDisable, ""}}, true, true},
      {"disable 00", {{kDisable, "00"}}, true, true},
      {"disable space 0", {{kDisable, " 0"}}, true, true},
      {"disable false", {{kDisable, "false"}}, true, true},
      {"merge 0", {{kMerge, "0"}}, false, false},
      {"merge empty text", {{kMerge, ""}}, false, true},
      {"only unknown keys", {{"KEY_OTHER", "0"}}, false, true},
      {"lower-case key is another key", {{"key_vextra_disable", "1"}}, false, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeStore store;
    StrategyManager manager(store.Callable());
    // After a start with the opposite of the defaults, so defaults must return.
    manager.Update({{kDisable, "1"}, {kMerge, "0"}});
    manager.Update(c.strategy);
    EXPECT_EQ(manager.IsDisabled(), c.disabled);
    EXPECT_EQ(manager.IsMergeImprove(), c.mergeImprove);
  }
}

TEST_F(StrategyManagerTest, DefaultsBeforeAnyUpdate) {
  FakeStore store;
  StrategyManager manager(store.Callable());
  EXPECT_FALSE(manager.IsLoaded());
  EXPECT_FALSE(manager.IsDisabled());
  EXPECT_TRUE(manager.IsMergeImprove());
}

TEST_F(StrategyManagerTest, FirstUpdateAppliesTheStoredMapWithoutRewritingIt) {
  FakeStore store;
  StrategyManager manager(store.Callable());
  manager.Update({{kDisable, "1"}});
  EXPECT_TRUE(manager.IsLoaded());
  EXPECT_TRUE(manager.IsDisabled());
  EXPECT_TRUE(store.saved.empty());
  EXPECT_EQ(Published(), "{\"KEY_VEXTRA_DISABLE\":\"1\"}");

  // The answer that follows lifts the switch and is stored whole.
  const StrategyMap answer = {{kDisable, "0"}, {"KEY_UNKNOWN", "x"}};
  manager.Update(answer);
  ASSERT_EQ(store.saved.size(), 1u);
  EXPECT_EQ(store.saved[0], answer);
  EXPECT_FALSE(manager.IsDisabled());
  EXPECT_TRUE(manager.IsMergeImprove());
  EXPECT_EQ(Published(), "{\"KEY_UNKNOWN\":\"x\",\"KEY_VEXTRA_DISABLE\":\"0\"}");
}

TEST_F(StrategyManagerTest, EmptyMapsChangeNothingButTheLoadedMark) {
  FakeStore store;
  StrategyManager manager(store.Callable());
  manager.Update({});  // an empty database
  EXPECT_TRUE(manager.IsLoaded());
  EXPECT_FALSE(manager.IsDisabled());
  EXPECT_EQ(Published(), "");
  EXPECT_TRUE(store.saved.empty());

  // Loaded by the empty start-up map, so the next answer is stored.
  manager.Update({{kDisable, "1"}});
  EXPECT_EQ(store.saved.size(), 1u);
  manager.Update({});  // an answer that could not be decoded
  EXPECT_EQ(store.saved.size(), 1u);
  EXPECT_TRUE(manager.IsDisabled());
  EXPECT_EQ(Published(), "{\"KEY_VEXTRA_DISABLE\":\"1\"}");
}

TEST_F(StrategyManagerTest, FailedStoreStillAppliesAndPublishesTheMap) {
  static constexpr struct {
    const char* name;
    bool throws;  // else the store reports false
  } kCases[] = {{"store reports failure", false}, {"store throws", true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CommonInfo::Instance().ResetForTesting();
    int calls = 0;
    StrategyManager manager([&calls, &c](const StrategyMap&) -> bool {
      ++calls;
      if (c.throws) throw std::runtime_error("disk full");
      return false;
    });
    manager.Update({{"KEY_A", "1"}});
    EXPECT_NO_THROW(manager.Update({{kMerge, "0"}, {"KEY_B", "2"}}));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(manager.IsMergeImprove());
    EXPECT_EQ(Published(), "{\"KEY_B\":\"2\",\"KEY_MERGE_IMPROVE\":\"0\"}");
  }
}

TEST_F(StrategyManagerTest, StoredStrategyRoundTripsThroughTheRecordDatabase) {
  vextra_test::TempDir dir;
  Vextra::DbManager db(Vextra::DbManager::DbFilePath(dir.wpath()));
  ASSERT_TRUE(db.IsOpen());
  StrategyManager manager([&db](const StrategyMap& strategy) { return db.SaveStrategy(strategy); });
  manager.Update(db.LoadStrategy());  // start-up with an empty database

  const StrategyMap answer = {{kDisable, "0"},
                              {"KEY_NOTE", "it's '); DROP TABLE T_STRATEGY; --"},
                              {"KEY_'QUOTED'", "\"double\" and 'single'"}};
  manager.Update(answer);
  EXPECT_EQ(db.LoadStrategy(), answer);

  // A later answer replaces the stored strategy as a whole.
  manager.Update({{kMerge, "0"}});
  EXPECT_EQ(db.LoadStrategy(), (StrategyMap{{kMerge, "0"}}));

  // The next start applies what was stored.
  StrategyManager next_run([&db](const StrategyMap& strategy) { return db.SaveStrategy(strategy); });
  next_run.Update(db.LoadStrategy());
  EXPECT_FALSE(next_run.IsMergeImprove());
  EXPECT_FALSE(next_run.IsDisabled());
}

TEST_F(StrategyManagerTest, ConcurrentUpdatesAreAppliedOneAfterTheOther) {
  // The store notices when two updates are inside it at once, and sleeps to
  // give an unserialised update every chance to overlap.
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::mutex saved_mutex;
  std::vector<StrategyMap> saved;
  StrategyManager manager([&](const StrategyMap& strategy) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    {
      std::lock_guard<std::mutex> lock(saved_mutex);
      saved.push_back(strategy);
    }
    inside.fetch_sub(1);
    return true;
  });
  manager.Update({});

  constexpr int kThreads = 4;
  constexpr int kUpdatesEach = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&manager, t] {
      for (int i = 0; i < kUpdatesEach; ++i) {
        manager.Update({{kDisable, (i + t) % 2 == 0 ? "0" : "1"},
                        {"KEY_WRITER", std::to_string(t) + ":" + std::to_string(i)}});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_FALSE(overlapped.load());
  ASSERT_EQ(saved.size(), static_cast<size_t>(kThreads * kUpdatesEach));
  // The switch and the published text agree with the map stored last.
  const StrategyMap& last = saved.back();
  EXPECT_EQ(manager.IsDisabled(), last.at(kDisable) != "0");
  EXPECT_EQ(Published(), RenderStrategyJson(last));
}

}  // namespace
