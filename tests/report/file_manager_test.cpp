#include "report/file_manager.h"

#include <gtest/gtest.h>

#include <ctime>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/common_info.h"
#include "platform/file_system.h"
#include "platform/path_text.h"
#include "platform/process_info.h"
#include "platform/text_encoding.h"
#include "report/data_file_system.h"
#include "support/temp_dir.h"

namespace Vextra {
namespace {

TEST(DataFileNames, OnlyDataFilesDirectlyInTheDataDirectoryAreNamed) {
  static const struct {
    const wchar_t* path;
    const wchar_t* name;  // empty: not a data file of the directory
  } kCases[] = {
      {L"/d/vextra_data/error_data.info_1700000000_12", L"error_data.info_1700000000_12"},
      {L"/d/vextra_data/crash_data.info_5_0", L"crash_data.info_5_0"},
      {L"/d/vextra_data\\unkown_data.info_5_0", L"unkown_data.info_5_0"},
      {L"/d/vextra_data/vextra_data_db", L""},
      {L"/d/vextra_data/sub/error_data.info_5_0", L""},
      {L"/d/vextra_data/error_data.info_5_0/inner", L""},
      {L"/d/vextra_data/error_data.info_5_0\\..\\..\\host.exe", L""},
      {L"/d/vextra_dataX/error_data.info_5_0", L""},
      {L"/d/error_data.info_5_0", L""},
      {L"/d/vextra_data/", L""},
      {L"/d/vextra_data", L""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(platform::WideToUtf8(c.path));
    EXPECT_EQ(DataFileNameIn(c.path, L"/d/vextra_data"), c.name);
  }
  EXPECT_EQ(DataFileNameIn(L"/error_data.info_5_0", L""), L"");
}

TEST(DataFileNames, TheWritingSecondIsReadFromAWholeName) {
  static const struct {
    const wchar_t* name;
    bool parsed;
    int64_t seconds;
  } kCases[] = {
      {L"error_data.info_1700000000_12", true, 1700000000},
      {L"crash_data.info_0_8191", true, 0},
      {L"unkown_data.info_42_7", true, 42},
      {L"error_data.info_1700000000_12.part", false, 0},
      {L"error_data.info_1700000000", false, 0},
      {L"error_data.info__12", false, 0},
      {L"error_data.info_17x_12", false, 0},
      {L"error_data.info_1_", false, 0},
      {L"other.info_1_2", false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(platform::WideToUtf8(c.name));
    int64_t seconds = -5;
    EXPECT_EQ(DataFileSeconds(c.name, &seconds), c.parsed);
    EXPECT_EQ(seconds, c.parsed ? c.seconds : -5);
  }
}

namespace fs = std::filesystem;

std::string ReadAll(const std::wstring& path) {
  std::ifstream in(fs::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::wstring& path, const std::string& content) {
  std::ofstream out(fs::path(path), std::ios::binary);
  out << content;
}

bool IsDirectory(const std::wstring& path) { return fs::is_directory(fs::path(path)); }

size_t CountEntries(const fs::path& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Every byte value, so that text-mode translation or a stop at a zero byte shows.
std::string BinaryBody(size_t repeats) {
  std::string body;
  for (size_t r = 0; r < repeats; ++r) {
    for (int b = 0; b < 256; ++b) body.push_back(static_cast<char>(b));
  }
  return body;
}

class PrepareWorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override { info.ResetForTesting(); }
  void TearDown() override { info.ResetForTesting(); }

  std::wstring ModuleIn(const std::wstring& dir) const {
    return dir + platform::kPathSeparator + L"Vextra64.dll";
  }
  // Runs PrepareWorkspace and returns what it printed to standard output.
  std::string PrepareAndCapture(const std::wstring& module_path, bool* prepared) {
    testing::internal::CaptureStdout();
    *prepared = FileManager::PrepareWorkspace(module_path);
    return testing::internal::GetCapturedStdout();
  }
  void ExpectDataDirUnset() {
    EXPECT_EQ(info.GetDataDir(), L"");
    EXPECT_FALSE(info.GetDataDirReady());
  }

  CommonInfo& info = CommonInfo::Instance();
  vextra_test::TempDir temp;
};

TEST_F(PrepareWorkspaceTest, DefaultWorkspaceIsLumaroBesideTheModule) {
  const std::wstring expected_root = temp.wpath() + L"/lumaro";
  const std::wstring expected_data = expected_root + L"/vextra_data";
  // The second run finds both directories in place and succeeds the same way.
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    bool prepared = false;
    EXPECT_EQ(PrepareAndCapture(ModuleIn(temp.wpath()), &prepared), "");
    EXPECT_TRUE(prepared);
    EXPECT_EQ(info.GetWorkspace(), expected_root);
    EXPECT_EQ(info.GetDataDir(), expected_data);
    EXPECT_TRUE(info.GetDataDirReady());
    EXPECT_FALSE(info.GetCustomWorkspace());
    EXPECT_TRUE(IsDirectory(expected_data));
  }
}

// A directory under dir whose full path has exactly length characters.
std::wstring DirectoryOfLength(const vextra_test::TempDir& dir, size_t length) {
  std::wstring path = dir.wpath() + platform::kPathSeparator;
  return path + std::wstring(length - path.size(), L'd');
}

TEST_F(PrepareWorkspaceTest, DefaultWorkspaceFailuresPrintFailed) {
  static const struct {
    const char* name;
    size_t module_dir_length;       // 0: the temporary directory itself
    const wchar_t* directories;     // made below the module directory first
    const wchar_t* blocker;         // a regular file where a directory must be created
    bool workspace_set;
  } kCases[] = {
      {"workspace root is a file", 0, nullptr, L"lumaro", true},
      {"data directory is a file", 0, L"lumaro", L"lumaro/vextra_data", true},
      // The module directory fits the setting, "/lumaro" behind it does not.
      {"workspace would not fit 260 characters", 255, nullptr, nullptr, false},
      // The workspace fits, "/vextra_data" behind it does not.
      {"data directory would not fit 260 characters", 250, nullptr, nullptr, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    info.ResetForTesting();
    vextra_test::TempDir dir;
    const std::wstring module_dir =
        c.module_dir_length == 0 ? dir.wpath() : DirectoryOfLength(dir, c.module_dir_length);
    fs::create_directories(fs::path(module_dir));
    if (c.directories != nullptr) fs::create_directories(fs::path(module_dir) / c.directories);
    if (c.blocker != nullptr) WriteAll((fs::path(module_dir) / c.blocker).wstring(), "not a directory");

    bool prepared = true;
    EXPECT_EQ(PrepareAndCapture(ModuleIn(module_dir), &prepared), "failed");
    EXPECT_FALSE(prepared);
    ExpectDataDirUnset();
    EXPECT_EQ(info.GetWorkspace(), c.workspace_set ? module_dir + L"/lumaro" : L"");
    if (c.blocker != nullptr) EXPECT_EQ(ReadAll((fs::path(module_dir) / c.blocker).wstring()), "not a directory");
    EXPECT_FALSE(IsDirectory(module_dir + L"/lumaro/vextra_data"));
  }
}

TEST_F(PrepareWorkspaceTest, UnusableModulePathStopsWithoutMessage) {
  static const struct {
    const char* name;
    const wchar_t* module_path;  // null: a directory longer than the workspace setting holds
  } kCases[] = {
      {"no directory part", L"Vextra64.dll"},
      {"empty module path", L""},
      {"module directory longer than 259 characters", nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    info.ResetForTesting();
    const std::wstring module = c.module_path ? c.module_path : ModuleIn(DirectoryOfLength(temp, 260));
    bool prepared = true;
    EXPECT_EQ(PrepareAndCapture(module, &prepared), "");
    EXPECT_FALSE(prepared);
    ExpectDataDirUnset();
    EXPECT_EQ(info.GetWorkspace(), L"");
  }
  EXPECT_EQ(CountEntries(temp.path()), 0u);
}

TEST_F(PrepareWorkspaceTest, CustomWorkspaceIsUsedAndTheModuleIgnored) {
  vextra_test::TempDir module_dir;
  info.SetWorkspace(temp.wpath(), true);
  bool prepared = false;
  EXPECT_EQ(PrepareAndCapture(ModuleIn(module_dir.wpath()), &prepared), "");
  EXPECT_TRUE(prepared);
  EXPECT_EQ(info.GetWorkspace(), temp.wpath() + L"/lumaro");
  EXPECT_EQ(info.GetDataDir(), temp.wpath() + L"/lumaro/vextra_data");
  EXPECT_TRUE(info.GetDataDirReady());
  EXPECT_TRUE(IsDirectory(info.GetDataDir()));
  EXPECT_EQ(CountEntries(module_dir.path()), 0u);
}

TEST_F(PrepareWorkspaceTest, CustomRootThatCannotBeCreatedPrintsBothMessages) {
  static const struct {
    const char* name;
    const wchar_t* host_dir;  // under the temporary directory
    bool root_is_file;
    int stat_result;
  } kCases[] = {
      {"parent directory missing", L"missing", false, -1},
      {"root is a regular file", L"host", true, 0},
      // Printed whole: a wide "%ls" stopped at the first non-ASCII character.
      {"non-ASCII path", L"caf\u00e9-\u732b/missing", false, -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    info.ResetForTesting();
    vextra_test::TempDir dir;
    // Kept wide: the C locale cannot convert a non-ASCII fs::path.
    const std::wstring host = dir.wpath() + platform::kPathSeparator + c.host_dir;
    if (c.root_is_file) {
      fs::create_directories(fs::path(host));
      WriteAll(host + L"/lumaro", "x");
    }
    info.SetWorkspace(host, true);
    const std::wstring root = info.GetWorkspace();

    bool prepared = true;
    std::string out = PrepareAndCapture(ModuleIn(temp.wpath()), &prepared);
    EXPECT_FALSE(prepared);
    const std::string first =
        "Create custom dir root failed. " + platform::WideToAnsi(root) + " " + std::to_string(c.stat_result);
    ASSERT_EQ(out.rfind(first + "Last Error ", 0), 0u) << out;
    const std::string error = out.substr(first.size() + 11);
    ASSERT_GE(error.size(), 2u) << out;
    EXPECT_EQ(error.back(), '\n');
    EXPECT_NE(error.substr(0, error.size() - 1), "0") << "the system error is reported";
    ExpectDataDirUnset();
    bool is_directory = false;
    EXPECT_NE(platform::StatDirectory(host + L"/lumaro/vextra_data", &is_directory), 0);
  }
}

TEST_F(PrepareWorkspaceTest, CustomDataDirectoryFailures) {
  static const struct {
    const char* name;
    bool data_dir_is_file;
  } kCases[] = {
      {"data directory is a file", true},
      {"data directory would not fit 260 characters", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    info.ResetForTesting();
    vextra_test::TempDir dir;
    std::wstring host = dir.wpath();
    if (!c.data_dir_is_file) {
      // The root itself fits (and is created); "/vextra_data" behind it does not.
      host += platform::kPathSeparator;
      host += std::wstring(259 - host.size() - 7 - 2, L'h');
      fs::create_directories(fs::path(host));
    }
    info.SetWorkspace(host, true);
    if (c.data_dir_is_file) {
      fs::create_directories(fs::path(info.GetWorkspace()));
      WriteAll(info.GetWorkspace() + L"/vextra_data", "x");
    }
    bool prepared = true;
    EXPECT_EQ(PrepareAndCapture(ModuleIn(temp.wpath()), &prepared), "Create vextra dir failed");
    EXPECT_FALSE(prepared);
    ExpectDataDirUnset();
  }
}

// The singleton's own construction: the default workspace lies beside the
// module that holds the library, here the test program itself.
TEST_F(PrepareWorkspaceTest, ConstructionUsesTheLibraryModuleDirectory) {
  const std::wstring module_dir = platform::DirectoryOf(platform::ExecutablePath());
  ASSERT_FALSE(module_dir.empty());
  const fs::path root = fs::path(module_dir + L"/lumaro");
  const bool existed = fs::exists(root);
  {
    testing::internal::CaptureStdout();
    FileManager manager;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
  EXPECT_EQ(info.GetWorkspace(), module_dir + L"/lumaro");
  EXPECT_EQ(info.GetDataDir(), module_dir + L"/lumaro/vextra_data");
  EXPECT_TRUE(info.GetDataDirReady());
  EXPECT_TRUE(IsDirectory(info.GetDataDir()));
  if (!existed) {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
}

class WriteInfoFileTest : public ::testing::Test {
 protected:
  static constexpr int32_t kSecond = 1700000000;

  void SetUp() override {
    info.ResetForTesting();
    info.SetDataDir(temp.wpath());
    info.SetDataDirReady(true);
  }
  void TearDown() override { info.ResetForTesting(); }

  std::wstring NameAt(int32_t type, int32_t number, int32_t seconds = kSecond) const {
    return DataFileName(temp.wpath(), type, seconds, number);
  }
  // Writes body at the given second and returns the path it reported.
  std::wstring WriteAt(const std::string& body, int32_t type, int32_t seconds = kSecond) {
    wchar_t path[kWidePathChars] = {};
    EXPECT_TRUE(WriteInfoFileAt(path, body.data(), static_cast<int64_t>(body.size()), type, seconds));
    return path;
  }

  CommonInfo& info = CommonInfo::Instance();
  vextra_test::TempDir temp;
};

TEST_F(WriteInfoFileTest, NameFormatFollowsTheReportType) {
  static const struct {
    const wchar_t* dir;
    int32_t type;
    int32_t seconds;
    int32_t number;
    const wchar_t* name;
  } kCases[] = {
      {L"D", 101, 1700000000, 0, L"D/crash_data.info_1700000000_0"},
      {L"C:\\w\\lumaro/vextra_data", 107, 5, 8191, L"C:\\w\\lumaro/vextra_data/error_data.info_5_8191"},
      {L"D", 0, 1, 2, L"D/unkown_data.info_1_2"},
      {L"D", 830, 1, 2, L"D/unkown_data.info_1_2"},
      {L"D", -1, INT32_MIN, 17, L"D/unkown_data.info_-2147483648_17"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(DataFileName(c.dir, c.type, c.seconds, c.number), c.name);
  }
}

TEST_F(WriteInfoFileTest, FirstNumberIsBelow8192AndFixedWithinASecond) {
  std::set<int32_t> seen;
  for (int32_t seconds : {0, 1, 2, 1700000000, 1700000001, INT32_MAX, INT32_MIN, -1}) {
    SCOPED_TRACE(seconds);
    const int32_t number = FirstDataFileNumber(seconds);
    EXPECT_GE(number, 0);
    EXPECT_LT(number, kDataFileNumbers);
    EXPECT_EQ(FirstDataFileNumber(seconds), number);
    seen.insert(number);
  }
  EXPECT_GT(seen.size(), 1u) << "different seconds should not all share one number";
}

TEST_F(WriteInfoFileTest, WritesTheBodyByteForByteUnderTheTypeName) {
  static const struct {
    int32_t type;
    const char* stem;
  } kCases[] = {{101, "crash_data.info_"}, {107, "error_data.info_"}, {0, "unkown_data.info_"}};
  const std::string body = BinaryBody(3);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.stem);
    const std::wstring path = WriteAt(body, c.type);
    EXPECT_EQ(path, NameAt(c.type, FirstDataFileNumber(kSecond)));
    EXPECT_NE(path.find(platform::NarrowToWide(c.stem)), std::wstring::npos);
    EXPECT_EQ(ReadAll(path), body);
  }
}

TEST_F(WriteInfoFileTest, CurrentTimeNamesTheFile) {
  const std::string body = BinaryBody(1);
  const auto before = static_cast<int32_t>(std::time(nullptr));
  wchar_t path[kWidePathChars] = {};
  ASSERT_TRUE(WriteInfoFile(path, body.data(), static_cast<int64_t>(body.size()), 107));
  const auto after = static_cast<int32_t>(std::time(nullptr));

  const std::wstring prefix = temp.wpath() + L"/error_data.info_";
  const std::wstring name(path);
  ASSERT_EQ(name.rfind(prefix, 0), 0u);
  const std::wstring rest = name.substr(prefix.size());
  const size_t joint = rest.find(L'_');
  ASSERT_NE(joint, std::wstring::npos);
  const long long seconds = std::stoll(rest.substr(0, joint));
  const long long number = std::stoll(rest.substr(joint + 1));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_GE(number, 0);
  EXPECT_LT(number, kDataFileNumbers);
  EXPECT_EQ(ReadAll(name), body);
}

TEST_F(WriteInfoFileTest, SameSecondAndTypeKeepsBothFiles) {
  const std::wstring first = WriteAt("first body", 101);
  const std::wstring second = WriteAt("second body", 101);
  EXPECT_NE(first, second);
  EXPECT_EQ(second, NameAt(101, (FirstDataFileNumber(kSecond) + 1) % kDataFileNumbers));
  EXPECT_EQ(ReadAll(first), "first body");
  EXPECT_EQ(ReadAll(second), "second body");
}

TEST_F(WriteInfoFileTest, ExistingFilesAreNeverOverwritten) {
  // Files another process left at the first two names of this second.
  const int32_t start = FirstDataFileNumber(kSecond);
  const std::wstring taken0 = NameAt(107, start);
  const std::wstring taken1 = NameAt(107, (start + 1) % kDataFileNumbers);
  WriteAll(taken0, "older body 0");
  WriteAll(taken1, "older body 1");

  const std::wstring path = WriteAt("new body", 107);
  EXPECT_EQ(path, NameAt(107, (start + 2) % kDataFileNumbers));
  EXPECT_EQ(ReadAll(path), "new body");
  EXPECT_EQ(ReadAll(taken0), "older body 0");
  EXPECT_EQ(ReadAll(taken1), "older body 1");
}

TEST_F(WriteInfoFileTest, NumberWrapsToZeroAfter8191) {
  int32_t second = 0;
  while (FirstDataFileNumber(second) != kDataFileNumbers - 1) ++second;
  const std::wstring first = WriteAt("a", 101, second);
  const std::wstring next = WriteAt("b", 101, second);
  EXPECT_EQ(first, NameAt(101, kDataFileNumbers - 1, second));
  EXPECT_EQ(next, NameAt(101, 0, second));
  EXPECT_EQ(ReadAll(first), "a");
  EXPECT_EQ(ReadAll(next), "b");
}

TEST_F(WriteInfoFileTest, ConcurrentWritersInOneSecondAllSurvive) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  std::vector<std::vector<std::wstring>> paths(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string body = "body " + std::to_string(t) + "/" + std::to_string(i);
        wchar_t path[kWidePathChars] = {};
        if (WriteInfoFileAt(path, body.data(), static_cast<int64_t>(body.size()), 101, kSecond)) {
          paths[t].push_back(path);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::wstring> distinct;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(paths[t].size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) {
      SCOPED_TRACE(platform::WideToUtf8(paths[t][i]));
      EXPECT_EQ(ReadAll(paths[t][i]), "body " + std::to_string(t) + "/" + std::to_string(i));
      distinct.insert(paths[t][i]);
    }
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(CountEntries(temp.path()), distinct.size());
}

TEST_F(WriteInfoFileTest, RefusalsLeaveThePathAndTheDirectoryAlone) {
  enum class Dir { kReady, kNotReady, kMissing, kTooLong };
  static const struct {
    const char* name;
    bool null_path;
    bool null_bytes;
    int64_t length;
    Dir dir;
  } kCases[] = {
      {"null path buffer", true, false, 4, Dir::kReady},
      {"null bytes", false, true, 4, Dir::kReady},
      {"zero length", false, false, 0, Dir::kReady},
      {"negative length", false, false, -1, Dir::kReady},
      {"data directory not prepared", false, false, 4, Dir::kNotReady},
      {"data directory missing", false, false, 4, Dir::kMissing},
      {"file name would not fit 260 characters", false, false, 4, Dir::kTooLong},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    info.ResetForTesting();
    switch (c.dir) {
      case Dir::kReady:
        info.SetDataDir(temp.wpath());
        break;
      case Dir::kNotReady:
        break;
      case Dir::kMissing:
        info.SetDataDir(temp.wpath() + L"/missing");
        break;
      case Dir::kTooLong:
        info.SetDataDir(temp.wpath() + L"/" + std::wstring(240 - temp.wpath().size(), L'x'));
        break;
    }
    info.SetDataDirReady(c.dir != Dir::kNotReady);
    wchar_t path[kWidePathChars] = L"untouched";
    EXPECT_FALSE(WriteInfoFile(c.null_path ? nullptr : path, c.null_bytes ? nullptr : "body", c.length, 101));
    EXPECT_STREQ(path, L"untouched");
    EXPECT_EQ(CountEntries(temp.path()), 0u);
  }
}

}  // namespace
}  // namespace Vextra
