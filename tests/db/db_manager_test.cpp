#include "db/db_manager.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <thread>

#include "core/common_info.h"
#include "db/record_rules.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"
#include "support/after_exit.h"
#include "support/temp_dir.h"
#include "db/raw_db.h"

namespace Vextra {
namespace {

using Strategy = std::map<std::string, std::string>;
using vextra_test::RawDb;

constexpr int64_t kNow = 1700000000;
constexpr int64_t kDay = 86400;

const char kLocalRecordSql[] =
    "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, LAST_SESSION_ID TEXT)";
const char kCrashRecordSql[] =
    "CREATE TABLE T_CRASH_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, MD5 TEXT, PATH TEXT,GUID TEXT, STATUS "
    "INTEGER, STATUS_TIME INTEGER,RETRY_COUNT INTEGER, UPLOADABLE INTEGER)";
const char kStrategySql[] = "CREATE TABLE T_STRATEGY (KEY TEXT PRIMARY KEY, VALUE TEXT)";

class DbManagerTest : public ::testing::Test {
 protected:
  std::wstring DbFile() const { return DbManager::DbFilePath(dir_.wpath()); }
  std::filesystem::path DbPath() const { return std::filesystem::path(DbFile()); }

  // A database over the test's file whose clock reads now_.
  std::unique_ptr<DbManager> Open() {
    return std::make_unique<DbManager>(DbFile(), [this] { return now_.load(); });
  }

  // Writes a data file in the test directory; names may hold any character.
  std::wstring DataFile(const std::wstring& name, const std::string& bytes = "body") {
    const std::wstring path = dir_.wpath() + platform::kPathSeparator + name;
    FILE* file = platform::OpenFile(path, "wb");
    EXPECT_NE(file, nullptr);
    if (file != nullptr) {
      std::fwrite(bytes.data(), 1, bytes.size(), file);
      std::fclose(file);
    }
    return path;
  }

  // The row of path, as "STATUS,RETRY_COUNT".
  std::string StatusOf(const std::wstring& path) {
    RawDb raw(DbPath());
    return raw.Cell("SELECT STATUS || ',' || RETRY_COUNT FROM T_CRASH_RECORD WHERE PATH='" +
                    platform::WideToUtf8(path) + "'");
  }

  vextra_test::TempDir dir_{"vextra-db"};
  std::atomic<int64_t> now_{kNow};
};

TEST_F(DbManagerTest, FirstStartCreatesTheThreeTablesQuietly) {
  ::testing::internal::CaptureStdout();
  auto db = Open();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  ASSERT_TRUE(db->IsOpen());
  ASSERT_TRUE(std::filesystem::exists(DbPath()));
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Cells("SELECT name, sql FROM sqlite_master WHERE type='table' ORDER BY name"),
            (std::vector<std::string>{"T_CRASH_RECORD", kCrashRecordSql, "T_LOCAL_RECORD", kLocalRecordSql,
                                      "T_STRATEGY", kStrategySql}));
  EXPECT_EQ(db->GetDbVersion(), -1);  // no row until a session is stored
  EXPECT_EQ(db->GetLastSessionId(), "");
  EXPECT_TRUE(db->LoadStrategy().empty());
  std::vector<std::wstring> paths{L"stale"};
  EXPECT_TRUE(db->SelectFailedPaths(&paths));
  EXPECT_TRUE(paths.empty());
}

TEST_F(DbManagerTest, SecondStartKeepsRecordsSessionAndStrategy) {
  const std::wstring path = DataFile(L"101_1.dat");
  {
    auto first = Open();
    ASSERT_TRUE(first->InsertCrashRecord(path, "GUID1", true));
    ASSERT_TRUE(first->UpdateCrashStatus(path, kStatusFailed));
    ASSERT_TRUE(first->SetLastSessionId("SESSION1", false));
    ASSERT_TRUE(first->SaveStrategy({{"KEY_VEXTRA_DISABLE", "0"}}));
  }
  now_ = kNow + 60;
  auto second = Open();
  EXPECT_EQ(second->GetDbVersion(), kDbVersion);
  EXPECT_EQ(second->GetLastSessionId(), "SESSION1");
  EXPECT_EQ(second->LoadStrategy(), (Strategy{{"KEY_VEXTRA_DISABLE", "0"}}));
  std::vector<std::wstring> paths;
  EXPECT_TRUE(second->SelectFailedPaths(&paths));
  EXPECT_EQ(paths, std::vector<std::wstring>{path});

  ASSERT_TRUE(second->SetLastSessionId("SESSION2", true));
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Cells("SELECT * FROM T_LOCAL_RECORD"),
            (std::vector<std::string>{"1", std::to_string(kNow + 60), "1", "SESSION2"}));
}

TEST_F(DbManagerTest, LocalRecordOfAnotherVersionIsMadeAnewAndOtherTablesStay) {
  static const struct {
    const char* name;
    const char* local_table;  // what an earlier run left as T_LOCAL_RECORD
    bool row_kept;
  } kCases[] = {
      {"current version", "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, "
                          "LAST_SESSION_ID TEXT); INSERT INTO T_LOCAL_RECORD VALUES(1, 5, 1, 'OLD');",
       true},
      // A first start that the strategy refused stored no session row.
      {"empty table", "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, "
                      "LAST_SESSION_ID TEXT);",
       false},
      {"older version", "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, "
                        "LAST_SESSION_ID TEXT); INSERT INTO T_LOCAL_RECORD VALUES(1, 5, 0, 'OLD');",
       false},
      {"newer version", "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, "
                        "LAST_SESSION_ID TEXT); INSERT INTO T_LOCAL_RECORD VALUES(1, 5, 2, 'OLD');",
       false},
      {"version not a number", "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION TEXT, "
                               "LAST_SESSION_ID TEXT); INSERT INTO T_LOCAL_RECORD VALUES(1, 5, 'one', 'OLD');",
       false},
      {"version null", "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, "
                       "LAST_SESSION_ID TEXT); INSERT INTO T_LOCAL_RECORD VALUES(1, 5, NULL, 'OLD');",
       false},
      {"other columns", "CREATE TABLE T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, SESSION TEXT); "
                        "INSERT INTO T_LOCAL_RECORD VALUES(1, 'OLD');",
       false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(DbPath());
    {
      RawDb raw(DbPath());
      ASSERT_TRUE(raw.Exec(std::string(c.local_table) + kCrashRecordSql + ";" + kStrategySql +
                           "; INSERT INTO T_CRASH_RECORD VALUES(null, 1, 'M', 'P', 'G', 2, 1, 0, 1);"
                           " INSERT INTO T_STRATEGY VALUES('K', 'V');"));
    }
    ::testing::internal::CaptureStdout();
    auto db = Open();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(db->GetLastSessionId(), c.row_kept ? "OLD" : "");
    RawDb raw(DbPath());
    EXPECT_EQ(raw.Cell("SELECT sql FROM sqlite_master WHERE name='T_LOCAL_RECORD'"), kLocalRecordSql);
    EXPECT_EQ(raw.Cell("SELECT COUNT(*) FROM T_LOCAL_RECORD"), c.row_kept ? "1" : "0");
    EXPECT_EQ(raw.Cells("SELECT PATH, STATUS FROM T_CRASH_RECORD"), (std::vector<std::string>{"P", "2"}));
    EXPECT_EQ(db->LoadStrategy(), (Strategy{{"K", "V"}}));
    // The next session is stored whichever way the check went.
    EXPECT_TRUE(db->SetLastSessionId("NEW", !db->GetLastSessionId().empty()));
    EXPECT_EQ(db->GetDbVersion(), kDbVersion);
    EXPECT_EQ(db->GetLastSessionId(), "NEW");
  }
}

TEST_F(DbManagerTest, InsertStoresTheRecordInStatusZero) {
  static const struct {
    const wchar_t* name;
    const char* bytes;  // null: the data file does not exist
    bool uploadable;
    const char* md5;
  } kCases[] = {
      {L"abc.dat", "abc", true, "900150983cd24fb0d6963f7d28e17f72"},
      {L"empty.dat", "", false, "d41d8cd98f00b204e9800998ecf8427e"},
      {L"missing.dat", nullptr, true, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
  };
  auto db = Open();
  for (const auto& c : kCases) {
    SCOPED_TRACE(platform::WideToUtf8(c.name));
    const std::wstring path = c.bytes ? DataFile(c.name, c.bytes) : dir_.wpath() + platform::kPathSeparator + c.name;
    ASSERT_TRUE(db->InsertCrashRecord(path, "0123456789ABCDEF0123456789ABCDEF", c.uploadable));
    RawDb raw(DbPath());
    EXPECT_EQ(raw.Cells("SELECT TIME, MD5, GUID, STATUS, STATUS_TIME, RETRY_COUNT, UPLOADABLE FROM T_CRASH_RECORD "
                        "WHERE PATH='" + platform::WideToUtf8(path) + "'"),
              (std::vector<std::string>{std::to_string(kNow), c.md5, "0123456789ABCDEF0123456789ABCDEF", "0",
                                        std::to_string(kNow), "0", c.uploadable ? "1" : "0"}));
  }
}

TEST_F(DbManagerTest, StatusUpdatesFollowTheRetryRule) {
  static const struct {
    const char* name;
    std::vector<int32_t> updates;
    const char* expected;  // "STATUS,RETRY_COUNT"
  } kCases[] = {
      {"sent", {kStatusSent}, "1,0"},
      {"failed", {kStatusFailed}, "2,1"},
      {"given up", {kStatusGivenUp}, "3,0"},
      {"failed twice", {kStatusFailed, kStatusFailed}, "2,2"},
      {"failed, then sent by a re-send", {kStatusFailed, kStatusSent}, "1,1"},
      {"failed, then file gone", {kStatusFailed, kStatusGivenUp}, "3,1"},
      {"any other status counts as a failure", {kStatusRecorded}, "0,1"},
  };
  auto db = Open();
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = DataFile(L"case" + std::to_wstring(n++) + L".dat");
    now_ = kNow;
    ASSERT_TRUE(db->InsertCrashRecord(path, "G", true));
    now_ = kNow + 100;
    for (int32_t status : c.updates) ASSERT_TRUE(db->UpdateCrashStatus(path, status));
    EXPECT_EQ(StatusOf(path), c.expected);
    RawDb raw(DbPath());
    EXPECT_EQ(raw.Cells("SELECT TIME, STATUS_TIME FROM T_CRASH_RECORD WHERE PATH='" + platform::WideToUtf8(path) +
                        "'"),
              (std::vector<std::string>{std::to_string(kNow), std::to_string(kNow + 100)}));
  }
}

TEST_F(DbManagerTest, UpdateChangesEveryRecordOfThePathAndNoOther) {
  auto db = Open();
  const std::wstring path = DataFile(L"same.dat");
  const std::wstring other = DataFile(L"other.dat");
  ASSERT_TRUE(db->InsertCrashRecord(path, "G1", true));
  ASSERT_TRUE(db->InsertCrashRecord(path, "G2", true));
  ASSERT_TRUE(db->InsertCrashRecord(other, "G3", true));
  ASSERT_TRUE(db->UpdateCrashStatus(path, kStatusFailed));
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Cells("SELECT GUID, STATUS, RETRY_COUNT FROM T_CRASH_RECORD ORDER BY ID"),
            (std::vector<std::string>{"G1", "2", "1", "G2", "2", "1", "G3", "0", "0"}));
  EXPECT_TRUE(db->UpdateCrashStatus(DataFile(L"unrecorded.dat"), kStatusSent));  // ran; nothing to change
}

TEST_F(DbManagerTest, FailedRecordsAreListedWhileTheirRetryCountIsAtMostThree) {
  static const struct {
    const char* name;
    int failures;      // sends without answer
    bool then_sent;    // a later send got an answer
    bool listed;
  } kCases[] = {
      {"never sent", 0, false, false}, {"one failure", 1, false, true},  {"three failures", 3, false, true},
      {"four failures", 4, false, false}, {"failed, then sent", 2, true, false},
  };
  auto db = Open();
  std::vector<std::wstring> expected;
  int n = 0;
  for (const auto& c : kCases) {
    const std::wstring path = DataFile(L"retry" + std::to_wstring(n++) + L".dat");
    ASSERT_TRUE(db->InsertCrashRecord(path, "G", true));
    for (int i = 0; i < c.failures; ++i) ASSERT_TRUE(db->UpdateCrashStatus(path, kStatusFailed));
    if (c.then_sent) ASSERT_TRUE(db->UpdateCrashStatus(path, kStatusSent));
    if (c.listed) expected.push_back(path);
  }
  std::vector<std::wstring> paths;
  ASSERT_TRUE(db->SelectFailedPaths(&paths));
  EXPECT_EQ(paths, expected);
}

TEST_F(DbManagerTest, WithheldRecordsAreListedByGuid) {
  auto db = Open();
  const std::wstring withheld1 = DataFile(L"w1.dat");
  const std::wstring withheld2 = DataFile(L"w2.dat");
  const std::wstring sent = DataFile(L"sent.dat");
  const std::wstring failed = DataFile(L"failed.dat");
  const std::wstring other = DataFile(L"other.dat");
  ASSERT_TRUE(db->InsertCrashRecord(withheld1, "CRASH", false));
  ASSERT_TRUE(db->InsertCrashRecord(withheld2, "CRASH", false));
  ASSERT_TRUE(db->InsertCrashRecord(sent, "CRASH", true));
  ASSERT_TRUE(db->UpdateCrashStatus(sent, kStatusSent));
  ASSERT_TRUE(db->InsertCrashRecord(failed, "CRASH", true));
  ASSERT_TRUE(db->UpdateCrashStatus(failed, kStatusFailed));
  ASSERT_TRUE(db->InsertCrashRecord(other, "OTHER", false));

  std::vector<std::wstring> paths;
  ASSERT_TRUE(db->SelectPathsByGuid(&paths, "CRASH"));
  EXPECT_EQ(paths, (std::vector<std::wstring>{withheld1, withheld2}));

  ASSERT_TRUE(db->UpdateCrashStatus(withheld1, kStatusSent));
  ASSERT_TRUE(db->SelectPathsByGuid(&paths, "CRASH"));
  EXPECT_EQ(paths, std::vector<std::wstring>{withheld2});
  ASSERT_TRUE(db->SelectPathsByGuid(&paths, "NONE"));
  EXPECT_TRUE(paths.empty());
}

TEST_F(DbManagerTest, CleanupDeletesSentRecordsAfterSevenDaysAndAllAfterThirtyAndNamesTheirFiles) {
  static const struct {
    const char* name;
    int32_t status;
    int64_t age;  // seconds between insertion and the clean-up
    bool kept;
  } kCases[] = {
      {"sent a day ago", kStatusSent, kDay, true},
      {"sent exactly 7 days ago", kStatusSent, 7 * kDay, true},
      {"sent 7 days and a second ago", kStatusSent, 7 * kDay + 1, false},
      {"failed 8 days ago", kStatusFailed, 8 * kDay, true},
      {"withheld 29 days ago", kStatusRecorded, 29 * kDay, true},
      {"withheld exactly 30 days ago", kStatusRecorded, 30 * kDay, true},
      {"failed 30 days and a second ago", kStatusFailed, 30 * kDay + 1, false},
      {"given up 31 days ago", kStatusGivenUp, 31 * kDay, false},
  };
  auto db = Open();
  for (const auto& c : kCases) {
    now_ = kNow - c.age;
    const std::wstring path = DataFile(platform::NarrowToWide(c.name) + L".dat");
    ASSERT_TRUE(db->InsertCrashRecord(path, c.name, true));
    if (c.status != kStatusRecorded) ASSERT_TRUE(db->UpdateCrashStatus(path, c.status));
  }
  // A file named by a pruned record and by a kept one stays for the kept one.
  const std::wstring shared = DataFile(L"shared.dat");
  now_ = kNow - 40 * kDay;
  ASSERT_TRUE(db->InsertCrashRecord(shared, "SHARED-OLD", true));
  now_ = kNow - kDay;
  ASSERT_TRUE(db->InsertCrashRecord(shared, "SHARED-NEW", true));
  now_ = kNow;
  std::vector<std::wstring> released = {L"stale entry"};
  ASSERT_TRUE(db->CleanupCrashRecords(&released));
  RawDb raw(DbPath());
  std::vector<std::wstring> want;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(raw.Cell(std::string("SELECT COUNT(*) FROM T_CRASH_RECORD WHERE GUID='") + c.name + "'"),
              c.kept ? "1" : "0");
    EXPECT_TRUE(std::filesystem::exists(dir_.path() / (std::string(c.name) + ".dat")));  // the caller removes them
    if (!c.kept) want.push_back(dir_.wpath() + platform::kPathSeparator + platform::NarrowToWide(c.name) + L".dat");
  }
  EXPECT_EQ(raw.Cells("SELECT GUID FROM T_CRASH_RECORD WHERE GUID LIKE 'SHARED%'"),
            std::vector<std::string>{"SHARED-NEW"});
  EXPECT_EQ(released, want);
}

TEST_F(DbManagerTest, TimesPastTheYear2038AreStoredWhole) {
  constexpr int64_t kLate = int64_t{1} << 32;  // a time a 32-bit column would wrap
  now_ = kLate;
  auto db = Open();
  const std::wstring path = DataFile(L"late.dat");
  ASSERT_TRUE(db->InsertCrashRecord(path, "G", true));
  ASSERT_TRUE(db->UpdateCrashStatus(path, kStatusFailed));
  ASSERT_TRUE(db->CleanupCrashRecords());
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Cells("SELECT TIME, STATUS_TIME FROM T_CRASH_RECORD"),
            (std::vector<std::string>{std::to_string(kLate), std::to_string(kLate)}));
}

TEST_F(DbManagerTest, ValuesWithQuotesAreStoredAndReadBackUnchanged) {
  auto db = Open();
  const Strategy strategy{{"KEY_A", "it's"},
                          {"KEY_'B'", "'); DROP TABLE T_STRATEGY; --"},
                          {"KEY_C", ""},
                          {"KEY_D", "two '' quotes and a \" double"}};
  ASSERT_TRUE(db->SaveStrategy(strategy));
  EXPECT_EQ(db->LoadStrategy(), strategy);
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Cell("SELECT VALUE FROM T_STRATEGY WHERE KEY='KEY_A'"), "it's");

  const std::wstring path = DataFile(L"O'Brien's report.dat");
  const std::string guid = "G'); DELETE FROM T_CRASH_RECORD; --";
  ASSERT_TRUE(db->InsertCrashRecord(path, guid, false));
  std::vector<std::wstring> paths;
  ASSERT_TRUE(db->SelectPathsByGuid(&paths, guid));
  EXPECT_EQ(paths, std::vector<std::wstring>{path});
  ASSERT_TRUE(db->UpdateCrashStatus(path, kStatusFailed));
  ASSERT_TRUE(db->SelectFailedPaths(&paths));
  EXPECT_EQ(paths, std::vector<std::wstring>{path});
  EXPECT_EQ(raw.Cell("SELECT GUID FROM T_CRASH_RECORD"), guid);

  ASSERT_TRUE(db->SetLastSessionId("session 'one'", false));
  EXPECT_EQ(db->GetLastSessionId(), "session 'one'");
}

TEST_F(DbManagerTest, PathsOutsideAsciiRoundTrip) {
  auto db = Open();
  const std::wstring path = DataFile(L"caf\u00e9 \u00e4.dat");
  ASSERT_TRUE(db->InsertCrashRecord(path, "G", true));
  ASSERT_TRUE(db->UpdateCrashStatus(path, kStatusFailed));
  std::vector<std::wstring> paths;
  ASSERT_TRUE(db->SelectFailedPaths(&paths));
  EXPECT_EQ(paths, std::vector<std::wstring>{path});
  RawDb raw(DbPath());
  // Stored as UTF-8 whatever the system's code page.
  EXPECT_EQ(raw.Cell("SELECT PATH FROM T_CRASH_RECORD"),
            platform::WideToUtf8(dir_.wpath() + platform::kPathSeparator) + "caf\xC3\xA9 \xC3\xA4.dat");
  EXPECT_NE(raw.Cell("SELECT MD5 FROM T_CRASH_RECORD"), std::string(32, 'A'));  // the file was found
}

TEST_F(DbManagerTest, SaveStrategyReplacesTheWholeMap) {
  auto db = Open();
  ASSERT_TRUE(db->SaveStrategy({{"KEY_A", "1"}, {"KEY_B", "2"}}));
  ASSERT_TRUE(db->SaveStrategy({{"KEY_B", "3"}, {"KEY_C", "4"}}));
  EXPECT_EQ(db->LoadStrategy(), (Strategy{{"KEY_B", "3"}, {"KEY_C", "4"}}));
  ASSERT_TRUE(db->SaveStrategy({}));
  EXPECT_TRUE(db->LoadStrategy().empty());
}

TEST_F(DbManagerTest, SaveStrategyFailuresKeepWhatTheyMust) {
  // A trigger makes one statement fail while the connection works.
  static const struct {
    const char* name;
    const char* trigger;
    Strategy stored;  // what LoadStrategy gives afterwards
  } kCases[] = {
      {"delete fails: the old strategy stays whole",
       "CREATE TRIGGER T_FAIL BEFORE DELETE ON T_STRATEGY BEGIN SELECT RAISE(ABORT, 'no'); END;",
       {{"KEY_OLD", "1"}, {"KEY_B", "old"}}},
      {"second insert fails: the first pair stays",
       "CREATE TRIGGER T_FAIL BEFORE INSERT ON T_STRATEGY WHEN NEW.KEY = 'KEY_B' "
       "BEGIN SELECT RAISE(ABORT, 'no'); END;",
       {{"KEY_A", "new"}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(DbPath());
    auto db = Open();
    ASSERT_TRUE(db->SaveStrategy({{"KEY_OLD", "1"}, {"KEY_B", "old"}}));
    ASSERT_TRUE(RawDb(DbPath()).Exec(c.trigger));
    EXPECT_FALSE(db->SaveStrategy({{"KEY_A", "new"}, {"KEY_B", "new"}, {"KEY_C", "new"}}));
    EXPECT_EQ(db->LoadStrategy(), c.stored);
  }
}

TEST_F(DbManagerTest, SessionIdIsAlwaysRowOne) {
  static const struct {
    const char* name;
    const char* earlier;  // T_LOCAL_RECORD contents before, or null for none
    bool row_exists;      // what the caller believes
  } kCases[] = {
      {"fresh database", nullptr, false},
      {"later start", "INSERT INTO T_LOCAL_RECORD VALUES(1, 5, 1, 'PREVIOUS')", true},
      {"row with an empty id, caller thinks it missing", "INSERT INTO T_LOCAL_RECORD VALUES(1, 5, 1, '')", false},
      {"no row, caller thinks it exists", nullptr, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(DbPath());
    auto db = Open();
    if (c.earlier) ASSERT_TRUE(RawDb(DbPath()).Exec(c.earlier));
    ASSERT_TRUE(db->SetLastSessionId("CURRENT", c.row_exists));
    EXPECT_EQ(RawDb(DbPath()).Cells("SELECT * FROM T_LOCAL_RECORD"),
              (std::vector<std::string>{"1", std::to_string(kNow), "1", "CURRENT"}));
  }
}

// Every operation gives its failure value, and nothing throws or crashes.
void ExpectEveryOperationFails(DbManager& db, const std::wstring& data_file) {
  EXPECT_FALSE(db.InsertCrashRecord(data_file, "G", true));
  EXPECT_FALSE(db.UpdateCrashStatus(data_file, kStatusFailed));
  std::vector<std::wstring> paths{L"stale"};
  EXPECT_FALSE(db.SelectFailedPaths(&paths));
  EXPECT_TRUE(paths.empty());
  paths = {L"stale"};
  EXPECT_FALSE(db.SelectPathsByGuid(&paths, "G"));
  EXPECT_TRUE(paths.empty());
  EXPECT_FALSE(db.CleanupCrashRecords());
  EXPECT_EQ(db.GetDbVersion(), -1);
  EXPECT_EQ(db.GetLastSessionId(), "");
  EXPECT_FALSE(db.SetLastSessionId("S", false));
  EXPECT_FALSE(db.SaveStrategy({{"KEY_VEXTRA_DISABLE", "1"}}));
  EXPECT_TRUE(db.LoadStrategy().empty());
}

TEST_F(DbManagerTest, UnusableFileLeavesTheLibraryWithoutPersistence) {
  const std::string kTableFailures =
      "Failed to create table LocalInfoTable\nFailed to create table T_CRASH_RECORD\n"
      "Failed to create table T_STRATEGY\n";
  std::string random_bytes(8192, '\0');
  std::mt19937 generator(7);
  for (char& b : random_bytes) b = static_cast<char>(generator());

  static const struct {
    const char* name;
    bool random_file;      // random bytes at the database's path
    bool missing_dir;      // the database's directory does not exist
    bool open;
    bool no_connection_line;
  } kCases[] = {
      {"file of random bytes", true, false, true, false},
      {"directory missing", false, true, false, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    vextra_test::TempDir dir;
    std::filesystem::path file = (c.missing_dir ? dir.path() / "absent" : dir.path()) / "vextra_data_db";
    if (c.random_file) std::ofstream(file, std::ios::binary) << random_bytes;

    ::testing::internal::CaptureStdout();
    auto db = std::make_unique<DbManager>(file.wstring());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              (c.no_connection_line ? "dbMgrPtr is nullptr\n" : "") + kTableFailures);
    EXPECT_EQ(db->IsOpen(), c.open);
    ExpectEveryOperationFails(*db, DataFile(L"body.dat"));
    db.reset();

    if (c.random_file) {  // the foreign file is left exactly as it was
      std::ifstream in(file, std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), random_bytes);
    }
    EXPECT_FALSE(c.missing_dir && std::filesystem::exists(file.parent_path()));
  }
}

TEST_F(DbManagerTest, ProcessDatabaseLivesInTheDataDirectory) {
  // SetWorkspace appends "lumaro"; the data directory is that joined with "vextra_data".
  std::filesystem::create_directories(dir_.path() / "lumaro" / "vextra_data");
  std::filesystem::create_directories(dir_.path() / "data");
  static const struct {
    const char* name;
    bool set_workspace;
    bool set_data_dir;
    const char* expected_dir;  // below the test directory; null: no database
  } kCases[] = {
      {"data directory set", true, true, "data"},
      {"only the workspace set", true, false, "lumaro/vextra_data"},
      {"nothing set", false, false, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CommonInfo::Instance().ResetForTesting();
    if (c.set_workspace) CommonInfo::Instance().SetWorkspace(dir_.wpath(), false);
    if (c.set_data_dir) CommonInfo::Instance().SetDataDir((dir_.path() / "data").wstring());
    ::testing::internal::CaptureStdout();
    bool open = false;
    {
      DbManager db;
      open = db.IsOpen();
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(open, c.expected_dir != nullptr);
    if (c.expected_dir) {
      EXPECT_EQ(out, "");
      EXPECT_TRUE(std::filesystem::exists(dir_.path() / c.expected_dir / "vextra_data_db"));
    } else {
      EXPECT_EQ(out.rfind("dbMgrPtr is nullptr\n", 0), 0u) << out;
    }
  }
  CommonInfo::Instance().ResetForTesting();
}

TEST(DbEngineTest, LinkedSqliteIsThreadSafe) {
  // The connection is opened without its own mutex, which needs a build whose
  // other mutexes (caches, allocator) are in place.
  EXPECT_NE(sqlite3_threadsafe(), 0);
}

TEST_F(DbManagerTest, TwoThreadsShareTheDatabase) {
  constexpr int kRecordsPerThread = 40;
  const Strategy maps[2] = {{{"KEY_A", "a0"}, {"KEY_B", "b0"}, {"KEY_C", "c0"}},
                            {{"KEY_A", "a1"}, {"KEY_B", "b1"}, {"KEY_C", "c1"}}};
  auto db = Open();
  std::atomic<int> mixed_reads{0};
  auto worker = [&](int t) {
    for (int i = 0; i < kRecordsPerThread; ++i) {
      const std::wstring path = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i) + L".dat";
      EXPECT_TRUE(db->InsertCrashRecord(path, "T" + std::to_string(t), true));
      EXPECT_TRUE(db->UpdateCrashStatus(path, kStatusFailed));
      if (i % 2 == 0) EXPECT_TRUE(db->UpdateCrashStatus(path, kStatusSent));
      if (i % 10 == 0) EXPECT_TRUE(db->SaveStrategy(maps[t]));
      const Strategy seen = db->LoadStrategy();
      if (!seen.empty() && seen != maps[0] && seen != maps[1]) ++mixed_reads;
      std::vector<std::wstring> paths;
      EXPECT_TRUE(db->SelectFailedPaths(&paths));
    }
  };
  std::thread first(worker, 0);
  std::thread second(worker, 1);
  first.join();
  second.join();

  EXPECT_EQ(mixed_reads.load(), 0);
  RawDb raw(DbPath());
  for (int t = 0; t < 2; ++t) {
    SCOPED_TRACE(t);
    const std::string guid = "'T" + std::to_string(t) + "'";
    EXPECT_EQ(raw.Cell("SELECT COUNT(*) FROM T_CRASH_RECORD WHERE GUID=" + guid + " AND STATUS=1 AND RETRY_COUNT=1"),
              std::to_string(kRecordsPerThread / 2));
    EXPECT_EQ(raw.Cell("SELECT COUNT(*) FROM T_CRASH_RECORD WHERE GUID=" + guid + " AND STATUS=2 AND RETRY_COUNT=1"),
              std::to_string(kRecordsPerThread / 2));
  }
  const Strategy last = db->LoadStrategy();
  EXPECT_TRUE(last == maps[0] || last == maps[1]);
}

// A thread that stopped inside a statement keeps the connection for good: a
// record write told to wait a bounded time gives up and stores nothing, one
// without bound waits and stores its record once the holder lets go, and a
// thread that already holds it (a fault inside a statement) never blocks on
// itself.
TEST_F(DbManagerTest, RecordWritesWaitForAHeldConnectionOnlyAsLongAsTheyAreTold) {
  using namespace std::chrono_literals;
  auto db = Open();
  const std::wstring path = DataFile(L"held.dat");
  std::promise<void> holding;
  std::promise<void> release;
  std::thread holder([&] {
    db->HoldConnectionForTesting([&] {
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(db->InsertCrashRecord(path, "G1", true, 300));
  EXPECT_FALSE(db->UpdateCrashStatus(path, kStatusSent, 300));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 600ms);
  EXPECT_LT(took, 10s);

  std::atomic<bool> stored{false};
  std::thread unbounded([&] { stored = db->InsertCrashRecord(path, "G1", true); });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(stored.load()) << "stored while another thread held the connection";
  release.set_value();
  unbounded.join();
  holder.join();
  EXPECT_TRUE(stored.load());
  EXPECT_EQ(StatusOf(path), "0,0");

  db->HoldConnectionForTesting([&] {
    EXPECT_FALSE(db->UpdateCrashStatus(path, kStatusSent, 300));
    EXPECT_FALSE(db->UpdateCrashStatus(path, kStatusSent));
  });
  EXPECT_EQ(StatusOf(path), "0,0");
}

// The process's database at exit: threads may still run statements, so the
// connection is never closed by a static destructor.
TEST(DbManagerExitTest, ConnectionOutlivesTheStaticDestructors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static const std::filesystem::path dir =
            std::filesystem::temp_directory_path() / ("vextra-db-exit-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(dir);
        CommonInfo::Instance().SetDataDir(dir.wstring());
        vextra_test::CheckAtExit([] {
          DbManager& db = DbManager::Instance();
          const bool usable = db.GetLastSessionId() == "before exit" && db.SetLastSessionId("at exit", true) &&
                              db.GetLastSessionId() == "at exit";
          std::error_code ignored;
          std::filesystem::remove_all(dir, ignored);
          return usable;
        });
        DbManager::Instance().SetLastSessionId("before exit", false);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Vextra
