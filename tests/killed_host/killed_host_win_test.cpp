// Reliability under Windows: a host killed at random moments while it
// reports errors asynchronously, 20 times over one workspace; afterwards one
// more start of the library in this process sends what the killed runs left,
// so every report whose data file exists reaches the collector. Reports still
// only in a killed host's memory are lost by design; they are counted apart.
//
// Each host is a fresh copy of this program, told by an environment variable
// to be the reporting host, and ended with TerminateProcess: nothing of it
// runs after the kill, as when a game is killed from outside.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "db/raw_db.h"
#include "killed_host/killed_host_scenario.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"

namespace {

// Set in a host copy: the run's number, the test's directory, the address.
constexpr wchar_t kRunVariable[] = L"VEXTRA_KILLED_HOST_RUN";
constexpr wchar_t kDirVariable[] = L"VEXTRA_KILLED_HOST_DIR";
constexpr wchar_t kAddressVariable[] = L"VEXTRA_KILLED_HOST_ADDRESS";

std::wstring Variable(const wchar_t* name) {
  wchar_t value[MAX_PATH * 2] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
  return length == 0 || length >= std::size(value) ? std::wstring() : std::wstring(value, length);
}

std::filesystem::path CounterOf(const std::filesystem::path& dir, int run) {
  return dir / ("made-" + std::to_string(run));
}

// Starts a host copy of this program for run; its process handle, or null.
HANDLE StartHost(const std::filesystem::path& dir, const std::string& address, int run) {
  wchar_t program[MAX_PATH] = {};
  if (GetModuleFileNameW(nullptr, program, MAX_PATH) == 0) return nullptr;
  std::wstring command = std::wstring(L"\"") + program + L"\" --gtest_filter=KilledHost.*";
  SetEnvironmentVariableW(kRunVariable, std::to_wstring(run).c_str());
  SetEnvironmentVariableW(kDirVariable, dir.wstring().c_str());
  SetEnvironmentVariableW(kAddressVariable, std::wstring(address.begin(), address.end()).c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL created =
      CreateProcessW(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableW(kRunVariable, nullptr);
  SetEnvironmentVariableW(kDirVariable, nullptr);
  SetEnvironmentVariableW(kAddressVariable, nullptr);
  if (!created) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

TEST(KilledHost, EveryReportWithADataFileArrivesAfterTheNextStart) {
  const std::wstring host_run = Variable(kRunVariable);
  if (!host_run.empty()) {
    // A host copy: report until killed.
    const std::filesystem::path dir = Variable(kDirVariable);
    const std::wstring address = Variable(kAddressVariable);
    const int run = std::stoi(host_run);
    vextra_test::RunReportingHost(dir / "workspace", std::string(address.begin(), address.end()), CounterOf(dir, run),
                                  run);
  }
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  vextra_test::TempDir dir("vextra-killed");
  const std::filesystem::path workspace = dir.path() / "workspace";
  std::filesystem::create_directories(workspace);
  const std::string address = vextra_test::LoopbackAddress(2);
  const std::filesystem::path work = dir.path() / "collector";
  std::filesystem::create_directories(work);
  vextra_test::CollectorProcess collector(address, work, {});
  ASSERT_TRUE(collector.Started()) << collector.Error();

  // A copy takes longer to start under Wine than a fork, so the hosts live a
  // little longer than the native ones to be killed while reporting too.
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> lifetime_ms(300, 2500);
  int made = 0;
  for (int run = 0; run < vextra_test::kKilledHostRuns; ++run) {
    std::fflush(stdout);
    const HANDLE host = StartHost(dir.path(), address, run);
    ASSERT_NE(host, nullptr) << GetLastError();
    Sleep(static_cast<DWORD>(lifetime_ms(random)));
    EXPECT_TRUE(TerminateProcess(host, 9)) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(host, 30000), WAIT_OBJECT_0);
    CloseHandle(host);
    made += vextra_test::ReportsMadeBy(CounterOf(dir.path(), run));
  }
  int before_start = 0;
  {
    vextra_test::RawDb collected(collector.DbPath());
    before_start = std::stoi(collected.Cell("SELECT count(*) FROM reports"));
  }

  // The next start, in this process: sends what the killed runs left.
  std::filesystem::path data_dir;
  ASSERT_NO_FATAL_FAILURE(vextra_test::StartNextAndStopCollector(workspace, address, collector, &data_dir));
  vextra_test::CheckEveryDataFileArrived(collector.DbPath(), data_dir, made, before_start);
}

}  // namespace
