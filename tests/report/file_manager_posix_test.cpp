// Linux only: narrow paths that are not UTF-8, and a write cut short by the
// system's file-size limit.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "core/common_info.h"
#include "report/file_manager.h"
#include "support/temp_dir.h"
#include "vextra.h"

namespace Vextra {
namespace {

bool IsDirectoryAt(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> EntriesOf(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

class NarrowPathTest : public ::testing::Test {
 protected:
  void SetUp() override { info.ResetForTesting(); }
  void TearDown() override { info.ResetForTesting(); }

  CommonInfo& info = CommonInfo::Instance();
  vextra_test::TempDir temp;
};

TEST_F(NarrowPathTest, WorkspaceBytesThatAreNotUtf8ReachTheFileSystemUnchanged) {
  static const struct {
    const char* name;
    std::string dir;  // below the temporary directory
  } kCases[] = {
      {"Latin-1 byte", "caf\xE9"},
      {"lone continuation bytes", "\x80\xBF"},
      {"encoded surrogate", "\xED\xB3\xA9"},
      {"overlong slash", "a\xC0\xAF"},
      {"truncated sequence before a valid one", "\xE2\x82\xC3\xA9"},
      {"valid UTF-8 beside a stray byte", "caf\xC3\xA9\xFF"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    info.ResetForTesting();
    const std::string host_dir = temp.str() + "/" + c.dir;
    ASSERT_EQ(mkdir(host_dir.c_str(), 0755), 0);

    VX_SetWorkSpace(host_dir.c_str());
    ASSERT_TRUE(FileManager::PrepareWorkspace(L"/nowhere/Vextra64.dll"));
    const std::string body = "body";
    wchar_t path[kWidePathChars] = {};
    ASSERT_TRUE(WriteInfoFile(path, body.data(), static_cast<int64_t>(body.size()), 107));

    EXPECT_EQ(EntriesOf(host_dir), std::vector<std::string>{"lumaro"});
    const std::string data_dir = host_dir + "/lumaro/vextra_data";
    EXPECT_TRUE(IsDirectoryAt(data_dir));
    const std::vector<std::string> files = EntriesOf(data_dir);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("error_data.info_", 0), 0u);
  }
  // Nothing was created under a re-encoded name beside the host's directories.
  EXPECT_EQ(EntriesOf(temp.str()).size(), std::size(kCases));
}

TEST_F(NarrowPathTest, WriteCutShortByTheFileSizeLimitLeavesNoFile) {
  info.SetDataDir(temp.wpath());
  info.SetDataDirReady(true);
  const std::string body(64 * 1024, 'b');

  // In a child, so that the limit stays there: writing past it fails with EFBIG.
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    wchar_t path[kWidePathChars] = {L'k', L'e', L'p', L't', 0};
    const bool written = WriteInfoFile(path, body.data(), static_cast<int64_t>(body.size()), 101);
    const bool path_untouched = std::wstring(path) == L"kept";
    _exit(!written && path_untouched ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the write must fail and leave the path buffer alone";
  EXPECT_EQ(EntriesOf(temp.str()), std::vector<std::string>{}) << "the partial file is removed";

  // Without the limit the same write succeeds.
  wchar_t path[kWidePathChars] = {};
  EXPECT_TRUE(WriteInfoFile(path, body.data(), static_cast<int64_t>(body.size()), 101));
  EXPECT_EQ(EntriesOf(temp.str()).size(), 1u);
}

}  // namespace
}  // namespace Vextra
