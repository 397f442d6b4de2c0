// Reliability: many asynchronous reports while the collector is stopped for
// a window in the middle of the run. Every report's body reaches a data file
// and a record; those the outage made fail are sent at the library's next
// start, so in the end every report's expuid is in the collector's database.
//
// The next start is the agent's start run again in this process over the same
// workspace, data files and record database (the report threads of the first
// start are still running and are not started twice).

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "VextraPkg.pb.h"
#include "app/vextra_agent.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/db_manager.h"
#include "db/raw_db.h"
#include "platform/text_encoding.h"
#include "reliability/report_count.h"
#include "support/db_count.h"
#include "support/loopback_address.h"
#include "support/next_start.h"
#include "support/temp_dir.h"
#include "uploader/body_codec.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

using Vextra::CommonInfo;
using vextra_test::CountOf;
using vextra_test::WaitForCount;

std::string ExpuidOfDataFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  VextraPkg::UniPacket packet;
  VextraPkg::ExceptionUploadPackage package;
  if (!packet.ParseFromString(Vextra::DecompressBody(body)) ||
      !package.ParseFromString(packet.request().sbuffer()) || package.list_size() != 1) {
    return "";
  }
  return package.list(0).expuid();
}

TEST(CollectorOutage, EveryAsynchronousReportArrivesAfterTheNextStart) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  const int reports = vextra_test::ReliabilityReportCount();
  vextra_test::TempDir dir("vextra-outage");
  const std::string address = vextra_test::LoopbackAddress(2);
  const std::filesystem::path work = dir.path() / "collector";
  std::filesystem::create_directories(work);
  // Quiet: one summary line per request would be thousands of lines.
  auto collector = std::make_unique<vextra_test::CollectorProcess>(address, work, std::vector<std::string>{});
  ASSERT_TRUE(collector->Started()) << collector->Error();

  CommonInfo::Instance().SetWorkspace(dir.wpath(), true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId("app-outage");
  ASSERT_TRUE(Vextra::IsInitialized());
  const std::filesystem::path records =
      Vextra::platform::WideToUtf8(Vextra::DbManager::DbFilePath(CommonInfo::Instance().GetDataDir()));
  ASSERT_TRUE(std::filesystem::exists(records));

  const std::string stack(600, 's');
  for (int i = 0; i < reports; ++i) {
    VX_ReportException(9, "OutageError", ("report " + std::to_string(i)).c_str(), stack.c_str(), "{\"k\":\"v\"}",
                       true, nullptr);
  }
  const std::string recorded = "SELECT count(*) FROM T_CRASH_RECORD";
  const int minutes = 4;
  // The outage: from a third of the reports to two thirds.
  ASSERT_GE(WaitForCount(records, recorded, reports / 3, std::chrono::minutes(minutes)), reports / 3);
  ASSERT_TRUE(collector->Stop()) << collector->Error();
  ASSERT_GE(WaitForCount(records, recorded, 2 * reports / 3, std::chrono::minutes(minutes)), 2 * reports / 3);
  collector = std::make_unique<vextra_test::CollectorProcess>(address, work, std::vector<std::string>{});
  ASSERT_TRUE(collector->Started()) << collector->Error();
  ASSERT_EQ(WaitForCount(records, recorded, reports, std::chrono::minutes(minutes)), reports);
  // The last one has had its answer (or its failure).
  ASSERT_EQ(WaitForCount(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS<>0", reports, std::chrono::seconds(60)), reports);
  const int failed = CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=2");
  EXPECT_GT(failed, 0) << "the outage window made no report fail";

  // The next start sends what failed.
  const auto next = vextra_test::NextStartSendingStoredBodiesFirst();
  // Its background re-send runs here, before Init returns.
  ASSERT_TRUE(next->Init());
  EXPECT_EQ(CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS<>1"), 0);
  ASSERT_TRUE(collector->Stop()) << collector->Error();

  // Every report's expuid, read from its data file, is in the collector's database.
  std::set<std::string> made;
  vextra_test::RawDb db(records);
  for (const std::string& path : db.Cells("SELECT PATH FROM T_CRASH_RECORD")) made.insert(ExpuidOfDataFile(path));
  made.erase("");
  EXPECT_EQ(made.size(), static_cast<size_t>(reports));
  vextra_test::RawDb seen(collector->DbPath());
  std::set<std::string> arrived;
  for (const std::string& id : seen.Cells("SELECT expuid FROM reports")) arrived.insert(id);
  size_t missing = 0;
  for (const std::string& id : made) missing += arrived.count(id) == 0 ? 1 : 0;
  EXPECT_EQ(missing, 0u);
  std::printf("reports %d, failed during the outage %d, arrived %zu distinct, missing %zu\n", reports, failed,
              arrived.size(), missing);
}

}  // namespace
