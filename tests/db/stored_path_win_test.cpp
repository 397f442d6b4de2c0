// Record paths in a data directory whose name the system's ANSI code page
// cannot hold (Cyrillic and CJK): new records keep the name whole, and the
// records an earlier run stored through the code page are still found.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "db/db_manager.h"
#include "db/raw_db.h"
#include "db/record_rules.h"
#include "platform/file_system.h"
#include "support/temp_dir.h"

namespace Vextra {
namespace {

using vextra_test::RawDb;

// "Алексей 東京" and its UTF-8 bytes.
const std::wstring kName = L"\x0410\x043B\x0435\x043A\x0441\x0435\x0439 \x6771\x4EAC";
const char kNameUtf8[] =
    "\xD0\x90\xD0\xBB\xD0\xB5\xD0\xBA\xD1\x81\xD0\xB5\xD0\xB9 \xE6\x9D\xB1\xE4\xBA\xAC";

// What an earlier run stored for path: the system's ANSI code page, characters it lacks lost.
std::string InCodePage(const std::wstring& path) {
  const int size = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, &out[0], size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

bool CodePageHolds(const std::wstring& text) {
  BOOL lost = FALSE;
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, &lost);
  return lost == FALSE;
}

std::string Ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class RecordsInAWideNamedDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    std::printf("ANSI code page %u\n", GetACP());
    ASSERT_FALSE(CodePageHolds(kName)) << "this code page holds the name; nothing would be lost";
    ASSERT_TRUE(std::filesystem::create_directory(dataDir_));
  }

  std::wstring DataFile(const std::wstring& name) {
    const std::wstring path = dataDir_.wstring() + L"/" + name;
    FILE* file = platform::OpenFile(path, "wb");
    EXPECT_NE(file, nullptr);
    if (file != nullptr) {
      std::fputs("body", file);
      std::fclose(file);
    }
    return path;
  }

  vextra_test::TempDir temp_{"vextra-db-wide"};
  // The temporary directory's own name is plain ASCII.
  const std::filesystem::path dataDir_ = temp_.path() / kName;
  const std::wstring dbFile_ = DbManager::DbFilePath(dataDir_.wstring());
};

TEST_F(RecordsInAWideNamedDirectory, NewRecordsKeepTheNameWhole) {
  const std::wstring path = DataFile(L"error_data.info_1700000000_7");
  DbManager db(dbFile_);
  ASSERT_TRUE(db.InsertCrashRecord(path, "G1", true));
  {
    RawDb raw(dbFile_);
    EXPECT_EQ(raw.Cell("SELECT PATH FROM T_CRASH_RECORD"),
              Ascii(temp_.wpath()) + "\\" + kNameUtf8 + "/error_data.info_1700000000_7");
    EXPECT_NE(raw.Cell("SELECT MD5 FROM T_CRASH_RECORD"), std::string(32, 'A'));  // the file was found
  }
  ASSERT_TRUE(db.UpdateCrashStatus(path, kStatusFailed));
  std::vector<std::wstring> paths;
  ASSERT_TRUE(db.SelectFailedPaths(&paths));
  EXPECT_EQ(paths, std::vector<std::wstring>{path});
  ASSERT_TRUE(db.SelectAllPaths(&paths));
  EXPECT_EQ(paths, std::vector<std::wstring>{path});
}

TEST_F(RecordsInAWideNamedDirectory, AnEarlierRunsRecordsAreFoundAndUpdated) {
  const std::wstring failed = DataFile(L"error_data.info_1700000000_1");
  const std::wstring withheld = DataFile(L"crash_data.info_1700000000_2");
  {
    DbManager make_tables(dbFile_);
  }
  {
    RawDb raw(dbFile_);
    ASSERT_TRUE(raw.Exec("INSERT INTO T_CRASH_RECORD VALUES(null,1700000000,'m','" + InCodePage(failed) +
                         "','G1',2,1700000000,1,1);"
                         "INSERT INTO T_CRASH_RECORD VALUES(null,1700000000,'m','" + InCodePage(withheld) +
                         "','G2',0,1700000000,0,0);"));
  }
  DbManager db(dbFile_);
  std::vector<std::wstring> paths;
  ASSERT_TRUE(db.SelectFailedPaths(&paths));
  EXPECT_EQ(paths, std::vector<std::wstring>{failed});
  ASSERT_TRUE(db.SelectPathsByGuid(&paths, "G2"));
  EXPECT_EQ(paths, std::vector<std::wstring>{withheld});

  ASSERT_TRUE(db.UpdateCrashStatus(failed, kStatusFailed));
  ASSERT_TRUE(db.UpdateCrashStatus(withheld, kStatusSent));
  RawDb raw(dbFile_);
  // Updated in place: no record added, the stored text left as it was.
  EXPECT_EQ(raw.Cells("SELECT GUID, STATUS, RETRY_COUNT, PATH FROM T_CRASH_RECORD ORDER BY ID"),
            (std::vector<std::string>{"G1", "2", "2", InCodePage(failed), "G2", "1", "0", InCodePage(withheld)}));
}

}  // namespace
}  // namespace Vextra
