// The upload agent's start: the strategy check, the session, the re-send of
// bodies earlier runs did not deliver (failed and interrupted ones), their
// record states, the withheld crash bodies sent by GUID, and the retry limit.
//
// Bodies are made the way a run makes them: an error report sent while no
// server listens leaves its data file and a status-2 record. The re-sends go
// over TLS to the real collector on this program's own loopback addresses
// (hosts 2 to 9 of tests/support/loopback_address.h).

#include "app/vextra_agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/db_manager.h"
#include "app/process_workspace.h"
#include "db/raw_db.h"
#include "platform/text_encoding.h"
#include "report/file_manager.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "uploader/report_builder.h"
#include "uploader/strategy_manager.h"
#include "uploader/upload_task.h"

namespace {

using Vextra::CommonInfo;
using Vextra::StrategyManager;
using Vextra::StrategyMap;
using Vextra::VextraAgent;

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

struct Row {
  int status;
  int retryCount;
};

#define SKIP_WITHOUT_COLLECTOR()                                                  \
  do {                                                                            \
    std::string why_;                                                             \
    if (vextra_test::CollectorProgram(&why_).empty()) {                           \
      ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why_;  \
      GTEST_SKIP() << why_;                                                       \
    }                                                                             \
  } while (0)

class VextraAgentTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { vextra_test::ProcessWorkspace(); }

  void SetUp() override {
    Vextra::testing_hooks::ResetInitializedForTesting();
    CommonInfo& info = CommonInfo::Instance();
    info.SetAppId("app-agent");
    info.SetAppVersion("2.0");
    info.SetSessionId("");
    info.SetLastSessionId("");
    // A data directory of this test's own, matching its record database.
    processDataDir_ = info.GetDataDir();
    std::filesystem::create_directories(DataDir());
    info.SetDataDir(DataDir().wstring());
    // Every stored time, and the agent's idea of now, on a clock the test moves.
    records_ = std::make_unique<Vextra::DbManager>(RecordsFile().wstring(),
                                                   [this] { return Vextra::DbCurrentTime() + clockShift_; });
    ASSERT_TRUE(records_->IsOpen());
  }

  void TearDown() override {
    Vextra::testing_hooks::ResetInitializedForTesting();
    CommonInfo::Instance().SetDataDir(processDataDir_);
  }

  std::filesystem::path DataDir() const { return dir_.path() / "vextra_data"; }

  std::filesystem::path RecordsFile() const { return dir_.path() / "records.db"; }

  // An agent over this test's records and a fresh strategy manager (the
  // process's first strategy load), whose report threads are only counted:
  // their start runs the background part (re-send, pruning) on the calling
  // thread, so it is done when Init returns.
  VextraAgent Agent() {
    strategy_ = std::make_unique<StrategyManager>([](const StrategyMap&) { return true; });
    return VextraAgent(Vextra::AgentServices{
        records_.get(), strategy_.get(),
        [this](const std::function<void()>& released, std::function<void()> beforeQueue) {
          ++threadStarts_;
          released();
          beforeQueue();
          return true;
        }});
  }

  // An error report sent to address, answered with want (-1: nothing listens
  // there, so its body stays in a data file with a status-2 record). Returns
  // the data file's path.
  std::string Report(const std::string& address, const std::string& message, int want) {
    Vextra::UploadTask task(Vextra::kCmdReport, Vextra::kReportTypeError, Vextra::MakeTlsTransport(address),
                            Vextra::UploadServices{records_.get(), nullptr, Vextra::WriteInfoFile});
    Vextra::ReportBuilder builder("LuaError", message, task.GetExpUid());
    builder.FillCommon(Vextra::EnvelopeFacts{});
    EXPECT_EQ(task.SendAssembled(builder), want);
    vextra_test::RawDb db(RecordsFile());
    return db.Cell("SELECT PATH FROM T_CRASH_RECORD ORDER BY ID DESC LIMIT 1");
  }
  std::string FailedReport(const std::string& address, const std::string& message) {
    return Report(address, message, -1);
  }

  // The agent's start run again as at a later start of the host.
  void StartAgain() {
    Vextra::testing_hooks::ResetInitializedForTesting();
    ASSERT_TRUE(Agent().Init());
  }

  void Plant(const std::string& sql) {
    vextra_test::RawDb db(RecordsFile());
    ASSERT_TRUE(db.Exec(sql)) << sql;
  }

  Row RowOf(const std::string& path) {
    vextra_test::RawDb db(RecordsFile());
    auto cells = db.Cells("SELECT STATUS, RETRY_COUNT FROM T_CRASH_RECORD WHERE PATH='" + path + "'");
    if (cells.size() != 2) return {-1, -1};
    return {std::stoi(cells[0]), std::stoi(cells[1])};
  }

  std::unique_ptr<vextra_test::CollectorProcess> StartCollector(const std::string& address) {
    const std::filesystem::path work = dir_.path() / ("collector-" + address + "-" + std::to_string(++collectors_));
    std::filesystem::create_directories(work);
    return std::make_unique<vextra_test::CollectorProcess>(address, work, std::vector<std::string>{});
  }

  // The bodies the collector received, as upper-case hex, in arrival order.
  static std::vector<std::string> ReceivedBodies(vextra_test::CollectorProcess& collector) {
    EXPECT_TRUE(collector.Stop()) << collector.Error();
    vextra_test::RawDb db(collector.DbPath());
    return db.Cells("SELECT hex(body) FROM requests ORDER BY id");
  }

  vextra_test::TempDir dir_{"vextra-agent"};
  std::unique_ptr<Vextra::DbManager> records_;
  std::unique_ptr<StrategyManager> strategy_;
  std::wstring processDataDir_;
  int threadStarts_ = 0;
  int collectors_ = 0;
  int64_t clockShift_ = 0;  // seconds added to the records' clock
};

constexpr int64_t kDay = 86400;

TEST_F(VextraAgentTest, StartSendsFailedAndInterruptedBodiesUnchangedAndKeepsWithheldOnes) {
  SKIP_WITHOUT_COLLECTOR();
  const std::string address = vextra_test::LoopbackAddress(2);
  CommonInfo::Instance().SetServerUrl(address);
  // An earlier run with the server down.
  const std::string failed1 = FailedReport(address, "first");
  const std::string failed2 = FailedReport(address, "second");
  // Its process ended after the body was recorded, before any answer.
  const std::string interrupted = FailedReport(address, "interrupted");
  Plant("UPDATE T_CRASH_RECORD SET STATUS=0, RETRY_COUNT=0 WHERE PATH='" + interrupted + "'");
  // Withheld while crash uploads were off.
  const std::string withheld = FailedReport(address, "withheld");
  Plant("UPDATE T_CRASH_RECORD SET STATUS=0, RETRY_COUNT=0, UPLOADABLE=0, GUID='GUID-W' WHERE PATH='" + withheld +
        "'");
  // Its process ended between writing the body and recording it.
  const std::string unrecorded = FailedReport(address, "unrecorded");
  Plant("DELETE FROM T_CRASH_RECORD WHERE PATH='" + unrecorded + "'");
  // Its file was deleted since (last: a later report could take its name).
  const std::string deleted = FailedReport(address, "deleted");
  ASSERT_TRUE(std::filesystem::remove(deleted));
  // Ended before the body was moved in: a name with no body, a body half written.
  std::ofstream(DataDir() / "error_data.info_1_1").flush();
  std::ofstream(DataDir() / "error_data.info_1_2.part") << "cut off";

  auto collector = StartCollector(address);
  ASSERT_TRUE(collector->Started()) << collector->Error();
  VextraAgent agent = Agent();
  ASSERT_TRUE(agent.Init());
  EXPECT_TRUE(Vextra::IsInitialized());
  EXPECT_EQ(threadStarts_, 1);

  const std::vector<std::string> expected = {HexOf(ReadFileBytes(failed1)), HexOf(ReadFileBytes(failed2)),
                                             HexOf(ReadFileBytes(interrupted)), HexOf(ReadFileBytes(unrecorded))};
  for (const std::string& path : {failed1, failed2, interrupted, unrecorded}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(RowOf(path).status, 1);
  }
  EXPECT_EQ(RowOf(deleted).status, 3);
  EXPECT_EQ(RowOf(withheld).status, 0);

  // The withheld body goes out on the host's request, once.
  EXPECT_TRUE(agent.UploadCrashWithGuid("GUID-W"));
  EXPECT_EQ(RowOf(withheld).status, 1);
  EXPECT_TRUE(agent.UploadCrashWithGuid("GUID-W"));

  std::vector<std::string> received = ReceivedBodies(*collector);
  ASSERT_EQ(received.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(received.begin(), received.begin() + 4), expected);
  EXPECT_EQ(received[4], HexOf(ReadFileBytes(withheld)));
  // Only real bodies were taken up.
  vextra_test::RawDb db(RecordsFile());
  EXPECT_EQ(db.Cell("SELECT count(*) FROM T_CRASH_RECORD WHERE PATH GLOB '*error_data.info_1_[12]*'"), "0");
}

TEST_F(VextraAgentTest, RowAtRetryCountThreeIsTriedOnceMoreThenNeverAgain) {
  SKIP_WITHOUT_COLLECTOR();
  const std::string address = vextra_test::LoopbackAddress(3);
  CommonInfo::Instance().SetServerUrl(address);
  const std::string path = FailedReport(address, "tired");
  Plant("UPDATE T_CRASH_RECORD SET RETRY_COUNT=3 WHERE PATH='" + path + "'");

  // Server still down: the last attempt fails.
  ASSERT_TRUE(Agent().Init());
  EXPECT_EQ(RowOf(path).status, 2);
  EXPECT_EQ(RowOf(path).retryCount, 4);

  // Server up at the next start: the row is no longer listed.
  auto collector = StartCollector(address);
  ASSERT_TRUE(collector->Started()) << collector->Error();
  Vextra::testing_hooks::ResetInitializedForTesting();
  ASSERT_TRUE(Agent().Init());
  EXPECT_EQ(RowOf(path).status, 2);
  EXPECT_TRUE(ReceivedBodies(*collector).empty());
}

TEST_F(VextraAgentTest, StoredStrategyThatDisablesTheLibraryStopsBeforeAnythingElse) {
  const std::string address = vextra_test::LoopbackAddress(4);
  CommonInfo::Instance().SetServerUrl(address);
  const std::string path = FailedReport(address, "kept");
  ASSERT_TRUE(records_->SaveStrategy({{"KEY_VEXTRA_DISABLE", "1"}}));

  VextraAgent agent = Agent();
  EXPECT_FALSE(agent.Init());
  EXPECT_TRUE(strategy_->IsDisabled());
  EXPECT_FALSE(Vextra::IsInitialized());
  EXPECT_EQ(CommonInfo::Instance().GetSessionId(), "");
  EXPECT_EQ(threadStarts_, 0);
  EXPECT_EQ(RowOf(path).status, 2);  // not re-sent
  EXPECT_EQ(RowOf(path).retryCount, 1);
  EXPECT_EQ(records_->GetLastSessionId(), "");
  // Nor does anything else of the agent run while it is off.
  EXPECT_FALSE(agent.UploadPendingFiles({Vextra::platform::NarrowToWide(path.c_str())}));
  EXPECT_FALSE(agent.UploadCrashWithGuid("any"));
  EXPECT_EQ(RowOf(path).retryCount, 1);
}

TEST_F(VextraAgentTest, EachStartBeginsASessionAndRemembersThePreviousOne) {
  ASSERT_TRUE(Agent().Init());
  const std::string first = CommonInfo::Instance().GetSessionId();
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(CommonInfo::Instance().GetLastSessionId(), "");
  EXPECT_EQ(records_->GetLastSessionId(), first);

  Vextra::testing_hooks::ResetInitializedForTesting();
  ASSERT_TRUE(Agent().Init());
  const std::string second = CommonInfo::Instance().GetSessionId();
  EXPECT_NE(second, first);
  EXPECT_EQ(CommonInfo::Instance().GetLastSessionId(), first);
  EXPECT_EQ(records_->GetLastSessionId(), second);
}

TEST_F(VextraAgentTest, DeliveredReportIsSentOnceWhateverTheStartsAndDaysAndAFailedForGoodOneNeverAgain) {
  SKIP_WITHOUT_COLLECTOR();
  const std::string address = vextra_test::LoopbackAddress(5);
  auto collector = StartCollector(address);
  ASSERT_TRUE(collector->Started()) << collector->Error();
  CommonInfo::Instance().SetServerUrl(address);
  const std::string delivered = Report(address, "delivered", 200);
  ASSERT_EQ(RowOf(delivered).status, 1);
  // Sent four times with the server down: never listed again.
  const std::string tired = FailedReport(vextra_test::LoopbackAddress(6), "failed for good");
  Plant("UPDATE T_CRASH_RECORD SET RETRY_COUNT=4 WHERE PATH='" + tired + "'");
  // A delivered record naming a file outside the data directory.
  const std::filesystem::path elsewhere = dir_.path() / "error_data.info_1_1";
  std::ofstream(elsewhere) << "not the library's";
  Plant("INSERT INTO T_CRASH_RECORD VALUES(null," + std::to_string(Vextra::DbCurrentTime()) + ",'','" +
        elsewhere.string() + "','G',1,0,0,1)");

  for (const int64_t shift : {int64_t{0}, 8 * kDay, 8 * kDay, 31 * kDay, 31 * kDay}) {
    SCOPED_TRACE(shift / kDay);
    clockShift_ = shift;
    StartAgain();
    const bool sentPruned = shift > 7 * kDay;
    const bool allPruned = shift > 30 * kDay;
    // A pruned record's data file goes with it; one outside the data directory stays.
    EXPECT_EQ(RowOf(delivered).status, sentPruned ? -1 : 1);
    EXPECT_EQ(std::filesystem::exists(delivered), !sentPruned);
    EXPECT_EQ(RowOf(tired).status, allPruned ? -1 : 2);
    EXPECT_EQ(std::filesystem::exists(tired), !allPruned);
    EXPECT_TRUE(std::filesystem::exists(elsewhere));
    vextra_test::RawDb db(RecordsFile());
    EXPECT_EQ(db.Cell("SELECT count(*) FROM T_CRASH_RECORD WHERE PATH='" + elsewhere.string() + "'"),
              sentPruned ? "0" : "1");
  }
  std::vector<std::string> received = ReceivedBodies(*collector);
  EXPECT_EQ(received.size(), 1u);
}

TEST_F(VextraAgentTest, AnUnrecordedBodyIsTakenUpOnlyWhileYoungerThanTheSentRecordLifetime) {
  SKIP_WITHOUT_COLLECTOR();
  const std::string address = vextra_test::LoopbackAddress(7);
  CommonInfo::Instance().SetServerUrl(address);
  const int64_t now = Vextra::DbCurrentTime();
  static constexpr struct {
    const char* what;
    int64_t age;
    bool taken;
  } kCases[] = {
      {"written an hour ago", 3600, true},
      {"written 7 days less a minute ago", 7 * kDay - 60, true},
      {"written 7 days and a minute ago", 7 * kDay + 60, false},
      {"written 40 days ago", 40 * kDay, false},
  };
  std::map<std::string, std::string> bodies;
  int number = 0;
  for (const auto& c : kCases) {
    // Named as the library names its data files, with a slash on every platform.
    const std::string file =
        DataDir().string() + "/error_data.info_" + std::to_string(now - c.age) + "_" + std::to_string(++number);
    std::ofstream(file, std::ios::binary) << "body " << c.what;
    bodies[c.what] = file;
  }
  auto collector = StartCollector(address);
  ASSERT_TRUE(collector->Started()) << collector->Error();
  ASSERT_TRUE(Agent().Init());
  std::vector<std::string> received = ReceivedBodies(*collector);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RowOf(bodies[c.what]).status, c.taken ? 1 : -1);
    const std::string hex = HexOf(std::string("body ") + c.what);
    EXPECT_EQ(std::count(received.begin(), received.end(), hex), c.taken ? 1 : 0);
  }
}

TEST_F(VextraAgentTest, APassStopsAtTheFirstBodyWithoutAnAnswerAndSkipsEmptyFiles) {
  SKIP_WITHOUT_COLLECTOR();
  const std::string address = vextra_test::LoopbackAddress(8);
  CommonInfo::Instance().SetServerUrl(address);
  // An empty body file first: skipped, its record kept as it is.
  const std::string empty = FailedReport(address, "emptied");
  std::ofstream(empty, std::ios::trunc | std::ios::binary).flush();
  const std::string first = FailedReport(address, "first");
  const std::string second = FailedReport(address, "second");
  const std::string third = FailedReport(address, "third");

  // Server down: the first body with a body fails and the pass ends there.
  ASSERT_TRUE(Agent().Init());
  EXPECT_EQ(RowOf(empty).status, 2);
  EXPECT_EQ(RowOf(empty).retryCount, 1);
  EXPECT_EQ(RowOf(first).retryCount, 2);
  EXPECT_EQ(RowOf(second).retryCount, 1);
  EXPECT_EQ(RowOf(third).retryCount, 1);

  // Server up at the next start: all three, once each, in order.
  auto collector = StartCollector(address);
  ASSERT_TRUE(collector->Started()) << collector->Error();
  StartAgain();
  for (const std::string& path : {first, second, third}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(RowOf(path).status, 1);
  }
  EXPECT_EQ(RowOf(empty).status, 2);
  EXPECT_EQ(RowOf(empty).retryCount, 1);
  const std::vector<std::string> expected = {HexOf(ReadFileBytes(first)), HexOf(ReadFileBytes(second)),
                                             HexOf(ReadFileBytes(third))};
  EXPECT_EQ(ReceivedBodies(*collector), expected);
}

TEST_F(VextraAgentTest, ReportThreadsThatCannotBothStartLeaveTheLibraryUninitialisedAndUntouched) {
  const std::string address = vextra_test::LoopbackAddress(9);
  CommonInfo::Instance().SetServerUrl(address);
  const std::string path = FailedReport(address, "kept for later");
  strategy_ = std::make_unique<StrategyManager>([](const StrategyMap&) { return true; });
  // As StartReportThreads when the second thread cannot be started: neither
  // released nor the background part runs.
  VextraAgent agent(Vextra::AgentServices{records_.get(), strategy_.get(),
                                          [](const std::function<void()>&, std::function<void()>) { return false; }});
  EXPECT_FALSE(agent.Init());
  EXPECT_FALSE(Vextra::IsInitialized());
  EXPECT_EQ(CommonInfo::Instance().GetSessionId(), "");
  EXPECT_EQ(records_->GetLastSessionId(), "");
  EXPECT_EQ(RowOf(path).status, 2);
  EXPECT_EQ(RowOf(path).retryCount, 1);

  // A later start that gets its threads starts the library.
  ASSERT_TRUE(Agent().Init());
  EXPECT_TRUE(Vextra::IsInitialized());
  EXPECT_EQ(CommonInfo::Instance().GetSessionId().size(), 32u);
}

}  // namespace
