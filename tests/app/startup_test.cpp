// The start-up entry through the exports, in one process, against the real
// collector over TLS (this program's loopback host 10): a stored strategy
// that switches the library off, the 840 answer that switches it on again,
// the second and third start-up calls, and the reports that follow.
//
// The states are the process's own and cannot be undone, so the steps run in
// order inside one test.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "app/process_workspace.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/db_manager.h"
#include "db/raw_db.h"
#include "support/db_count.h"
#include "intake/report_threads.h"
#include "log/sdk_log.h"
#include "platform/text_encoding.h"
#include "support/loopback_address.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

using Vextra::CommonInfo;

// The collector's count for sql, waited for until it reaches want (or 30 s).
int WaitForCount(vextra_test::CollectorProcess& collector, const std::string& sql, int want) {
  return vextra_test::WaitForCount(collector.DbPath(), sql, want, std::chrono::seconds(30));
}

// Waits until the process's database holds value under key in its stored
// strategy (or 30 s): what the next start-up reads.
std::string WaitForStoredStrategy(const std::string& key, const std::string& value) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string stored;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto strategy = Vextra::DbManager::Instance().LoadStrategy();
    const auto found = strategy.find(key);
    stored = found == strategy.end() ? "(none)" : found->second;
    if (stored == value) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return stored;
}

std::string SdkLogText() {
  const std::wstring path = Vextra::SdkLog::Instance().FilePath();
  std::ifstream in(Vextra::platform::WideToUtf8(path), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // Windows ends lines with CR LF
  return text;
}

std::string Session() {
  char session[33] = {};
  VX_GetSessionId(session);
  return session;
}

constexpr char kUserInfoCount[] = "SELECT count(*) FROM requests WHERE cmd=840";

TEST(StartUp, RefusedThenInitialisedOnceWithAnAccessRequestPerCallAndReportsAfter) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  const vextra_test::TempDir& workspace = vextra_test::ProcessWorkspace();
  const std::string address = vextra_test::LoopbackAddress(10);
  const std::filesystem::path work = workspace.path() / "collector-startup";
  std::filesystem::create_directories(work);
  // Its 840 answers switch the library on.
  vextra_test::CollectorProcess collector(address, work, {"--strategy", "KEY_VEXTRA_DISABLE=0"});
  ASSERT_TRUE(collector.Started()) << collector.Error();

  // Other tests of this program may have begun sessions of their own.
  Vextra::testing_hooks::ResetInitializedForTesting();
  CommonInfo::Instance().SetSessionId("");
  VX_ConfigDebugMode(true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_SetUserId("player-7");
  // A strategy stored by an earlier run switches the library off.
  ASSERT_TRUE(Vextra::DbManager::Instance().SaveStrategy({{"KEY_VEXTRA_DISABLE", "1"}}));

  // 1. Refused: no session, no report threads, and still an access request.
  VX_InitWithAppId("app-startup");
  EXPECT_FALSE(Vextra::IsInitialized());
  EXPECT_EQ(Session(), "");
  EXPECT_EQ(Vextra::ReportThreadStarts(), 0);
  EXPECT_EQ(WaitForCount(collector, kUserInfoCount, 1), 1);
  EXPECT_NE(SdkLogText().find("Init failed! Vextra is closed by remote strategy!\n"), std::string::npos);
  // The next start reads the strategy the library stored from the answer, not
  // the collector's count of requests (which it reaches first).
  ASSERT_EQ(WaitForStoredStrategy("KEY_VEXTRA_DISABLE", "0"), "0");

  // Ten asynchronous reports queued while the flag is on but before the
  // report threads run (as while start-up re-sends old bodies).
  Vextra::MarkInitialized();
  for (int i = 0; i < 10; ++i) {
    VX_ReportException(5, "EarlyError", ("early " + std::to_string(i)).c_str(), "early.lua:1", "", true, nullptr);
  }
  Vextra::testing_hooks::ResetInitializedForTesting();

  // 2. The answer stored "not disabled": the next call starts the library.
  SetPXRConfig("player-7", "1.2.3", "");
  EXPECT_TRUE(Vextra::IsInitialized());
  const std::string session = Session();
  EXPECT_EQ(session.size(), 32u);
  EXPECT_EQ(Vextra::ReportThreadStarts(), 1);
  EXPECT_EQ(WaitForCount(collector, kUserInfoCount, 2), 2);

  // 3. Once more: same session, no second pair of threads, another 840.
  VX_InitContext("player-7", "1.2.4", "");
  EXPECT_EQ(Session(), session);
  EXPECT_EQ(Vextra::ReportThreadStarts(), 1);
  EXPECT_EQ(WaitForCount(collector, kUserInfoCount, 3), 3);
  EXPECT_EQ(CommonInfo::Instance().GetAppVersion(), "1.2.4");

  // The ten early reports arrive, in the order they were made.
  EXPECT_EQ(WaitForCount(collector, "SELECT count(*) FROM reports WHERE expName='EarlyError'", 10), 10);

  // A synchronous report goes out at once; a second one right after is refused.
  VX_ReportException(3, "SyncError", "sync one", "sync.lua:3", "", false, nullptr);
  VX_ReportException(3, "SyncError", "sync two", "sync.lua:3", "", false, nullptr);
  // Asynchronous ones are not held back by the interval.
  for (int i = 0; i < 3; ++i) {
    VX_ReportException(4, "AsyncError", ("late " + std::to_string(i)).c_str(), "late.lua:4", "", true, nullptr);
  }
  EXPECT_EQ(WaitForCount(collector, "SELECT count(*) FROM reports WHERE expName='AsyncError'", 3), 3);
  EXPECT_NE(SdkLogText().find("Refused to upload exception because of interval limit.\n"), std::string::npos);

  ASSERT_TRUE(collector.Stop()) << collector.Error();
  vextra_test::RawDb db(collector.DbPath());
  std::vector<std::string> early =
      db.Cells("SELECT expMessage FROM reports WHERE expName='EarlyError' ORDER BY request_id");
  std::vector<std::string> want;
  for (int i = 0; i < 10; ++i) want.push_back("early " + std::to_string(i));
  EXPECT_EQ(early, want);
  EXPECT_EQ(db.Cells("SELECT expMessage FROM reports WHERE expName='SyncError'"),
            std::vector<std::string>{"sync one"});
  std::vector<std::string> sync =
      db.Cells("SELECT type, callStack, length(expuid) FROM reports WHERE expName='SyncError'");
  EXPECT_EQ(sync, (std::vector<std::string>{"107", "sync.lua:3", "32"}));
  EXPECT_EQ(db.Cells("SELECT expMessage FROM reports WHERE expName='AsyncError' ORDER BY request_id"),
            (std::vector<std::string>{"late 0", "late 1", "late 2"}));
  // Every request of the run carried the one session id.
  EXPECT_EQ(db.Cells("SELECT DISTINCT sessionId FROM requests WHERE cmd=830"), std::vector<std::string>{session});
}

}  // namespace
