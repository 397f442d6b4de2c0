// Start-ups over a workspace whose name the system's ANSI code page cannot
// hold (Cyrillic and CJK). Each start is a fresh copy of this program, told by
// an environment variable what host to be, as a game is started again and
// again: the stored bodies keep one record each and reach the collector once.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "VextraPkg.pb.h"
#include "db/raw_db.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/body_codec.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

using vextra_test::RawDb;

// Set in a host copy: its role, the workspace, the server address.
constexpr wchar_t kRoleVariable[] = L"VEXTRA_WIDE_HOST_ROLE";
constexpr wchar_t kWorkspaceVariable[] = L"VEXTRA_WIDE_HOST_WORKSPACE";
constexpr wchar_t kAddressVariable[] = L"VEXTRA_WIDE_HOST_ADDRESS";

// "Алексей 東京": no single-byte code page holds both scripts.
const std::wstring kName = L"\x0410\x043B\x0435\x043A\x0441\x0435\x0439 \x6771\x4EAC";
constexpr int kBodies = 3;
// How long a host waits for the records it must leave behind.
constexpr auto kHostPatience = std::chrono::seconds(120);

std::wstring Variable(const wchar_t* name) {
  wchar_t value[MAX_PATH * 2] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
  return length == 0 || length >= std::size(value) ? std::wstring() : std::wstring(value, length);
}

std::filesystem::path DataDirOf(const std::filesystem::path& workspace) {
  return workspace / "lumaro" / "vextra_data";
}

std::filesystem::path RecordsOf(const std::filesystem::path& workspace) {
  return DataDirOf(workspace) / "vextra_data_db";
}

int Count(const std::filesystem::path& db_file, const std::string& sql) {
  if (!std::filesystem::exists(db_file)) return 0;
  RawDb db(db_file);
  const std::string cell = db.Cell(sql);
  return cell.empty() ? -1 : std::stoi(cell);
}

// Waits until done() holds or the host's patience ends; whether it held.
template <typename Done>
bool WaitUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + kHostPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A host copy: starts the library once over the workspace and leaves, as its
// role says, once the records hold what the next step reads. Never returns.
[[noreturn]] void RunHost(const std::wstring& role) {
  const std::filesystem::path workspace = Variable(kWorkspaceVariable);
  const std::wstring wide_address = Variable(kAddressVariable);
  const std::string address(wide_address.begin(), wide_address.end());
  const std::filesystem::path records = RecordsOf(workspace);
  const std::string oldest_retries = "SELECT RETRY_COUNT FROM T_CRASH_RECORD ORDER BY ID LIMIT 1";
  const int retries_before = Count(records, oldest_retries);
  const bool had_records = Count(records, "SELECT count(*) FROM T_CRASH_RECORD") > 0;

  VX_SetWorkSpaceW(workspace.wstring().c_str());
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId("app-wide-workspace");

  bool left_what_is_read = true;
  if (role == L"report") {
    // Three bodies whose sends fail: the server is down.
    for (int i = 0; i < kBodies; ++i) {
      const std::string stack = "stack of report " + std::to_string(i) + std::string(300, 'w');
      VX_ReportException(3, "WideWorkspaceError", ("report " + std::to_string(i)).c_str(), stack.c_str(), "{}",
                         true, nullptr);
    }
    left_what_is_read = WaitUntil(
        [&] { return Count(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=2") >= kBodies; });
  } else if (role == L"deliver") {
    left_what_is_read = WaitUntil([&] {
      return Count(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS<>1") == 0 &&
             Count(records, "SELECT count(*) FROM T_CRASH_RECORD") > 0;
    });
  } else if (had_records) {
    // A start with the server down: the re-send of the oldest body has failed once more.
    left_what_is_read = WaitUntil([&] { return Count(records, oldest_retries) > retries_before; });
  }
  std::fflush(stdout);
  ExitProcess(left_what_is_read ? 0 : 3);
}

// Runs one host copy of this program to its end; its exit code, or -1.
int RunHostCopy(const std::wstring& role, const std::filesystem::path& workspace, const std::string& address) {
  wchar_t program[MAX_PATH] = {};
  if (GetModuleFileNameW(nullptr, program, MAX_PATH) == 0) return -1;
  std::wstring command = std::wstring(L"\"") + program + L"\" --gtest_filter=WideWorkspace.*";
  SetEnvironmentVariableW(kRoleVariable, role.c_str());
  SetEnvironmentVariableW(kWorkspaceVariable, workspace.wstring().c_str());
  SetEnvironmentVariableW(kAddressVariable, std::wstring(address.begin(), address.end()).c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::fflush(stdout);
  const BOOL created =
      CreateProcessW(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableW(kRoleVariable, nullptr);
  SetEnvironmentVariableW(kWorkspaceVariable, nullptr);
  SetEnvironmentVariableW(kAddressVariable, nullptr);
  if (!created) return -1;
  CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 300000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 9);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

std::string ExpuidOf(const std::filesystem::path& data_file) {
  std::ifstream in(data_file, std::ios::binary);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  VextraPkg::UniPacket packet;
  VextraPkg::ExceptionUploadPackage package;
  if (!packet.ParseFromString(Vextra::DecompressBody(body)) ||
      !package.ParseFromString(packet.request().sbuffer()) || package.list_size() != 1) {
    return "";
  }
  return package.list(0).expuid();
}

// The report ids of the bodies stored in the data directory, sorted.
std::vector<std::string> StoredExpuids(const std::filesystem::path& workspace) {
  std::vector<std::string> ids;
  for (const auto& entry : std::filesystem::directory_iterator(DataDirOf(workspace))) {
    if (entry.path().filename().wstring().rfind(L"error_data.info_", 0) == 0) ids.push_back(ExpuidOf(entry.path()));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// What an earlier run stored for path: the ANSI code page, characters it lacks lost.
std::string InCodePage(const std::wstring& path) {
  const int size = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, &out[0], size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

class WideWorkspace : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring role = Variable(kRoleVariable);
    if (!role.empty()) RunHost(role);
    std::string why;
    if (vextra_test::CollectorProgram(&why).empty()) {
      ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
      GTEST_SKIP() << why;
    }
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, 0, kName.c_str(), -1, nullptr, 0, nullptr, &lost);
    std::printf("ANSI code page %u\n", GetACP());
    ASSERT_TRUE(lost) << "the ANSI code page holds the name: nothing here would be lost";
    ASSERT_TRUE(std::filesystem::create_directory(workspace_));
    std::filesystem::create_directories(collectorDir_);
  }

  int Records() { return Count(RecordsOf(workspace_), "SELECT count(*) FROM T_CRASH_RECORD"); }

  // The collector's report ids, sorted; stops it first so its database is whole.
  std::vector<std::string> Arrived(vextra_test::CollectorProcess& collector) {
    EXPECT_TRUE(collector.Stop()) << collector.Error();
    RawDb seen(collector.DbPath());
    std::vector<std::string> ids = seen.Cells("SELECT expuid FROM reports");
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  vextra_test::TempDir temp_{"vextra-wide"};
  const std::filesystem::path workspace_ = temp_.path() / kName;
  const std::filesystem::path collectorDir_ = temp_.path() / "collector";
};

TEST_F(WideWorkspace, StoredBodiesKeepOneRecordEachAndArriveOnceAfterStartsWithTheServerDown) {
  const std::string address = vextra_test::LoopbackAddress(3);
  // Five starts with nothing listening on the address. The third makes the
  // bodies (their first send fails), the fourth and fifth re-send them in
  // vain, so the start with the server up makes their fourth and last try.
  const std::wstring roles[] = {L"start", L"start", L"report", L"start", L"start"};
  int start = 0;
  for (const std::wstring& role : roles) {
    ++start;
    SCOPED_TRACE("start " + std::to_string(start));
    ASSERT_EQ(RunHostCopy(role, workspace_, address), 0);
    EXPECT_EQ(Records(), start < 3 ? 0 : kBodies);
  }
  const std::vector<std::string> stored = StoredExpuids(workspace_);
  ASSERT_EQ(stored.size(), static_cast<size_t>(kBodies));
  EXPECT_EQ(Count(RecordsOf(workspace_), "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=2"), kBodies);

  vextra_test::CollectorProcess collector(address, collectorDir_, {});
  ASSERT_TRUE(collector.Started()) << collector.Error();
  EXPECT_EQ(RunHostCopy(L"deliver", workspace_, address), 0);
  EXPECT_EQ(Arrived(collector), stored);
  EXPECT_EQ(Records(), kBodies);
}

TEST_F(WideWorkspace, AnEarlierRunsRecordsInTheCodePageAreReadAndTheirBodiesSentOnce) {
  const std::string address = vextra_test::LoopbackAddress(4);
  ASSERT_EQ(RunHostCopy(L"report", workspace_, address), 0);
  const std::vector<std::string> stored = StoredExpuids(workspace_);
  ASSERT_EQ(stored.size(), static_cast<size_t>(kBodies));
  {
    // As an earlier run would have stored them: through the ANSI code page.
    RawDb records(RecordsOf(workspace_));
    const std::vector<std::string> rows = records.Cells("SELECT ID, PATH FROM T_CRASH_RECORD");
    ASSERT_EQ(rows.size(), 2u * kBodies);
    for (size_t i = 0; i < rows.size(); i += 2) {
      const std::string old_form = InCodePage(std::filesystem::u8path(rows[i + 1]).wstring());
      ASSERT_NE(old_form, rows[i + 1]);
      ASSERT_TRUE(records.Exec("UPDATE T_CRASH_RECORD SET PATH='" + old_form + "' WHERE ID=" + rows[i]));
    }
  }
  vextra_test::CollectorProcess collector(address, collectorDir_, {});
  ASSERT_TRUE(collector.Started()) << collector.Error();
  EXPECT_EQ(RunHostCopy(L"deliver", workspace_, address), 0);
  EXPECT_EQ(Arrived(collector), stored);
  EXPECT_EQ(Records(), kBodies);
}

}  // namespace
