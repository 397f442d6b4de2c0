// A fault inside start-up under Wine: an access violation raised while the
// device facts are collected is logged as "InitHookContext fail \n", and the
// host carries on: start-up completes and a report still reaches the
// collector. In a process of its own, as start-up happens once per process.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "app/process_workspace.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/raw_db.h"
#include "log/sdk_log.h"
#include "platform/text_encoding.h"
#include "support/loopback_address.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

void FaultInDeviceFacts() { *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(40000)) = 5; }

std::string SdkLogText() {
  std::ifstream in(Vextra::platform::WideToUtf8(Vextra::SdkLog::Instance().FilePath()), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The child: start-up with the faulting step, then a synchronous report;
// prints what it saw and ends normally.
void StartWithAFaultThenReport(const std::string& address) {
  vextra_test::ProcessWorkspace();
  Vextra::testing_hooks::SetDeviceFactStepForTesting(&FaultInDeviceFacts);
  VX_ConfigDebugMode(true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_SetUserId("player-guard");
  VX_InitWithAppId("app-guard");
  const std::string log = SdkLogText();
  std::fprintf(stderr, "begin hook logged %d\n", log.find("Begin Hook\n") != std::string::npos);
  const size_t facts = log.find("ShortName: ");
  const size_t failed = log.find("InitHookContext fail \n");
  std::fprintf(stderr, "fail logged after the facts began %d\n",
               facts != std::string::npos && failed != std::string::npos && failed > facts);
  std::fprintf(stderr, "initialised %d\n", Vextra::IsInitialized());
  VX_ReportException(3, "AfterGuard", "after the fault", "guard.lua:1", "", false, nullptr);
  // The report goes out on the library's own thread: the child stays until
  // the collector (whose database the parent named) has stored it.
  char db_path[MAX_PATH] = {};
  GetEnvironmentVariableA("VEXTRA_GUARD_COLLECTOR_DB", db_path, MAX_PATH);
  bool arrived = false;
  for (int i = 0; i < 300 && !arrived; ++i) {
    vextra_test::RawDb db(db_path);
    arrived = db.Cell("SELECT count(*) FROM reports WHERE expName='AfterGuard'") == "1";
    if (!arrived) Sleep(100);
  }
  std::fprintf(stderr, "report arrived %d\n", arrived);
  if (!arrived) {
    const std::string after = SdkLogText();
    std::fprintf(stderr, "---- SDK log ----\n%s\n", after.substr(after.size() > 3000 ? after.size() - 3000 : 0).c_str());
  }
  std::fflush(stderr);
  std::exit(0);
}

TEST(StartUpGuardLive, AFaultInDeviceFactsIsLoggedAndStartUpCarriesOn) {
  // The child runs this test again up to the statement: it takes the
  // parent's collector (its address and database) from the environment.
  if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
    char address[64] = {};
    GetEnvironmentVariableA("VEXTRA_GUARD_COLLECTOR_ADDRESS", address, sizeof address);
    StartWithAFaultThenReport(address);
  }
  const std::string address = vextra_test::LoopbackAddress(11);
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  const std::filesystem::path work = vextra_test::ProcessWorkspace().path() / "collector-guard";
  std::filesystem::create_directories(work);
  vextra_test::CollectorProcess collector(address, work, {"--strategy", "KEY_VEXTRA_DISABLE=0"});
  ASSERT_TRUE(collector.Started()) << collector.Error();

  SetEnvironmentVariableA("VEXTRA_GUARD_COLLECTOR_ADDRESS", address.c_str());
  SetEnvironmentVariableA("VEXTRA_GUARD_COLLECTOR_DB", collector.DbPath().string().c_str());
  EXPECT_EXIT(StartWithAFaultThenReport(address), ::testing::ExitedWithCode(0),
              "begin hook logged 0\nfail logged after the facts began 1\ninitialised 1\nreport arrived 1\n");

  ASSERT_TRUE(collector.Stop()) << collector.Error();
  vextra_test::RawDb db(collector.DbPath());
  EXPECT_EQ(db.Cells("SELECT expMessage FROM reports WHERE expName='AfterGuard'"),
            std::vector<std::string>{"after the fault"});
}

}  // namespace
