// Reliability: the collector's PostgreSQL database is stopped for ten seconds
// in the middle of a run of the library. Reports sent while it is down get no
// answer (the collector closes the connection) and count as failed; the library's next start sends them
// again, and in the end the database holds every report exactly once.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/vextra_agent.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/db_manager.h"
#include "platform/text_encoding.h"
#include "support/db_count.h"
#include "support/loopback_address.h"
#include "support/next_start.h"
#include "support/postgres_server.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

using Vextra::CommonInfo;
using vextra_test::CountOf;
using vextra_test::WaitForCount;

// The first column of the first row, or "<error>".
std::string PgCell(const std::string& uri, const std::string& sql) {
  PGconn* conn = PQconnectdb(uri.c_str());
  PGresult* result = PQexec(conn, sql.c_str());
  const std::string cell =
      PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "<error>";
  PQclear(result);
  PQfinish(conn);
  return cell;
}

TEST(DatabaseOutage, ReportsSentWhileTheDatabaseIsDownFailAndArriveOnceAfterTheNextStart) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  vextra_test::PostgresServer postgres;
  ASSERT_TRUE(postgres.Start()) << postgres.error();
  vextra_test::TempDir dir("vextra-db-outage");
  const std::string address = vextra_test::LoopbackAddress(3);
  const std::filesystem::path work = dir.path() / "collector";
  std::filesystem::create_directories(work);
  auto collector =
      std::make_unique<vextra_test::CollectorProcess>(address, work, std::vector<std::string>{"--db", postgres.uri()});
  ASSERT_TRUE(collector->Started()) << collector->Error();

  CommonInfo::Instance().SetWorkspace(dir.wpath(), true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId("app-db-outage");
  ASSERT_TRUE(Vextra::IsInitialized());
  const std::filesystem::path records =
      Vextra::platform::WideToUtf8(Vextra::DbManager::DbFilePath(CommonInfo::Instance().GetDataDir()));

  // Each phase's reports, then the wait until every one of them has its
  // answer or its failure recorded.
  constexpr int kPerPhase = 100;
  int made = 0;
  auto phase = [&]() {
    for (int i = 0; i < kPerPhase; ++i, ++made) {
      VX_ReportException(9, "DbOutageError", ("report " + std::to_string(made)).c_str(), "stack", "{}", true, nullptr);
    }
    return WaitForCount(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS<>0", made, std::chrono::minutes(2));
  };
  ASSERT_EQ(phase(), kPerPhase);
  EXPECT_EQ(CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=2"), 0);

  ASSERT_TRUE(postgres.Stop()) << postgres.error();
  const auto outageEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  ASSERT_EQ(phase(), 2 * kPerPhase);
  // Every upload of the outage failed as a failure, none as a success.
  EXPECT_EQ(CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=2"), kPerPhase);
  std::this_thread::sleep_until(outageEnd);
  ASSERT_TRUE(postgres.Start()) << postgres.error();

  // The same collector serves again without a restart.
  ASSERT_EQ(phase(), 3 * kPerPhase);
  EXPECT_EQ(CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=2"), kPerPhase);

  // The next start sends what failed, before its Init returns.
  const auto next = vextra_test::NextStartSendingStoredBodiesFirst();
  ASSERT_TRUE(next->Init());
  EXPECT_EQ(CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS<>1"), 0);
  ASSERT_TRUE(collector->Stop()) << collector->Error();

  EXPECT_EQ(PgCell(postgres.uri(), "SELECT count(*) FROM reports"), std::to_string(3 * kPerPhase));
  EXPECT_EQ(PgCell(postgres.uri(), "SELECT count(DISTINCT expuid) FROM reports"), std::to_string(3 * kPerPhase));
  EXPECT_EQ(PgCell(postgres.uri(), "SELECT count(*) FROM requests WHERE answer_status = 200 AND cmd = 830"),
            std::to_string(3 * kPerPhase));
}

}  // namespace
