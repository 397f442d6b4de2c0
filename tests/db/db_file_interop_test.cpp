// Reads and extends a record database made by another build of SQLite (the
// Linux sqlite3 tool) so that check_db_file_interop.sh can verify the result
// with that tool again. Runs only when VEXTRA_DB_INTEROP_DIR names the folder.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "db/db_manager.h"
#include "db/record_rules.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace Vextra {
namespace {

TEST(DbFileInteropTest, ReadsAForeignFileAndAddsRows) {
  const char* dir_text = std::getenv("VEXTRA_DB_INTEROP_DIR");
  if (dir_text == nullptr || *dir_text == '\0') GTEST_SKIP() << "VEXTRA_DB_INTEROP_DIR is not set";
  const std::wstring dir = platform::NarrowToWide(dir_text);
  ASSERT_TRUE(platform::FileExists(DbManager::DbFilePath(dir))) << "the script writes the database first";

  DbManager db(DbManager::DbFilePath(dir));
  ASSERT_TRUE(db.IsOpen());
  // What the script planted with the sqlite3 tool.
  EXPECT_EQ(db.GetDbVersion(), kDbVersion);
  EXPECT_EQ(db.GetLastSessionId(), "LINUXSESSION");
  EXPECT_EQ(db.LoadStrategy(), (std::map<std::string, std::string>{{"KEY_FROM_LINUX", "x'y"}}));
  std::vector<std::wstring> paths;
  ASSERT_TRUE(db.SelectFailedPaths(&paths));
  EXPECT_EQ(paths, std::vector<std::wstring>{L"C:\\linux\\101_9.dat"});

  // What the script checks afterwards.
  const std::wstring data_file = dir + platform::kPathSeparator + L"101_wine.dat";
  FILE* file = platform::OpenFile(data_file, "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("abc", file);
  std::fclose(file);
  ASSERT_TRUE(db.SetLastSessionId("WINESESSION", true));
  ASSERT_TRUE(db.InsertCrashRecord(data_file, "WINEGUID", true));
  ASSERT_TRUE(db.UpdateCrashStatus(data_file, kStatusFailed));
  ASSERT_TRUE(db.SaveStrategy({{"KEY_FROM_LINUX", "x'y"}, {"KEY_Q", "it's"}}));
}

}  // namespace
}  // namespace Vextra
