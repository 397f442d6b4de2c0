// The collector's store on both of its databases, SQLite and a PostgreSQL 15
// server of the test's own: the same cases on each.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <set>
#include <thread>

#include "collector/analysis/background_analyser.h"
#include "collector/analysis/report_analysis.h"
#include "collector/request_store.h"
#include "collector/storage/database.h"
#include "collector/symbols/symbol_store.h"
#include "collector/tests/request_bodies.h"
#include "collector/tests/test_postgres.h"
#include "collector/web/web_queries.h"
#include "support/temp_dir.h"

namespace collector_test {
namespace {

using collector::Backend;
using collector::Database;
using collector::Query;
using collector::RequestStore;

collector::ReceivedRequest Received(const std::string& body) {
  collector::ReceivedRequest received;
  received.receivedAt = 1700000100;
  received.remoteAddr = "127.0.0.1";
  received.path = "/pb/async";
  received.headers = {{"Content-Type", "application/octet-stream"}};
  received.body = body;
  return received;
}

// The value of the first column of the first row, "NULL" or "<no row>".
std::string One(const std::string& location, const std::string& sql) {
  Database db(location);
  Query query(db, sql);
  if (!query.Step()) return "<no row>";
  return query.IsNull(0) ? "NULL" : query.Text(0);
}

class StoreBackendTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    location_ = GetParam() == Backend::kSqlite ? (dir_.path() / "collector.db").string() : FreshPostgresDatabase();
    store_ = std::make_unique<RequestStore>(location_);
  }
  int64_t Store(const std::string& body, std::vector<std::string>* repeated = nullptr,
                collector::Answer answer = collector::Answer{}) {
    return store_->Store(Received(body), collector::DecodeRequestBody(body), answer, "200 gzip", repeated);
  }
  std::string One(const std::string& sql) { return collector_test::One(location_, sql); }

  vextra_test::TempDir dir_{"vextra-store-backends"};
  std::string location_;
  std::unique_ptr<RequestStore> store_;
};

TEST_P(StoreBackendTest, ReportsAttachmentsMapsAndUserInformationComeBackAsSent) {
  const std::string reportBody = GzipPacket(MakeReportPacket("guid-1"));
  const std::string userInfoBody = GzipPacket(MakeUserInfoPacket());
  collector::Answer dropped;
  dropped.drop = true;
  const int64_t reportRequest = Store(reportBody);
  const int64_t userInfoRequest = Store(userInfoBody, nullptr, dropped);
  EXPECT_NE(reportRequest, userInfoRequest);

  const struct {
    const char* name;
    std::string sql;
    std::string want;
  } kCases[] = {
      {"request body bytes", "SELECT body FROM requests WHERE id = " + std::to_string(reportRequest), reportBody},
      {"request cmd", "SELECT cmd FROM requests WHERE id = " + std::to_string(reportRequest), "830"},
      {"answer status", "SELECT answer_status FROM requests WHERE id = " + std::to_string(reportRequest), "200"},
      {"dropped answer has no status", "SELECT answer_status FROM requests WHERE id = " + std::to_string(userInfoRequest),
       "NULL"},
      {"header", "SELECT value FROM request_headers WHERE name = 'Content-Type'", "application/octet-stream"},
      {"report of its request", "SELECT request_id FROM reports WHERE expuid = 'guid-1'", std::to_string(reportRequest)},
      {"report text", "SELECT expMessage FROM reports", "attempt to index a nil value"},
      {"uint64 by its bit pattern", "SELECT stackBeginAddress FROM reports", "-4294967280"},
      {"raw attachment bytes", "SELECT data FROM attachments WHERE fileName = 'extra.txt'", std::string("raw\0bytes", 9)},
      {"inflated attachment", "SELECT content FROM attachments WHERE fileName = 'log.zip'",
       "first line\nsecond line\n"},
      {"user map", "SELECT value FROM map_entries WHERE owner = 'report' AND map = 'userMap' AND key = 'level'",
       "it's 3"},
      {"summary of the user information", "SELECT sessionId FROM summaries", "5E55105E55105E55105E55105E55105E"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(One(c.sql), c.want);
  }
}

TEST_P(StoreBackendTest, ARepeatedReportIsRecordedAsARequestButStoredOnce) {
  const struct {
    const char* name;
    std::string expuid;
    int sends;
    int reports;  // stored in the end
  } kCases[] = {
      {"sent once", "once", 1, 1},
      {"sent three times", "thrice", 3, 1},
      // Without an id nothing tells two reports apart: each is kept.
      {"no expuid", "", 2, 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string body = GzipPacket(MakeReportPacket(c.expuid));
    for (int i = 0; i < c.sends; ++i) {
      std::vector<std::string> repeated;
      Store(body, &repeated);
      const bool repeat = !c.expuid.empty() && i > 0;
      EXPECT_EQ(repeated, repeat ? std::vector<std::string>{c.expuid} : std::vector<std::string>{}) << "send " << i;
    }
    const std::string where = " WHERE expuid = '" + c.expuid + "'";
    EXPECT_EQ(One("SELECT COUNT(*) FROM reports" + where), std::to_string(c.reports));
    EXPECT_EQ(One("SELECT COUNT(*) FROM attachments WHERE report_id IN (SELECT id FROM reports" + where + ")"),
              std::to_string(3 * c.reports));
    EXPECT_EQ(One("SELECT COUNT(*) FROM requests WHERE body = (SELECT body FROM requests r JOIN reports p ON "
                  "p.request_id = r.id" + where + " ORDER BY r.id LIMIT 1)"),
              std::to_string(c.sends));
  }
}

TEST_P(StoreBackendTest, ConcurrentRequestsAreEachCommittedWithTheirOwnRow) {
  constexpr int kThreads = 16;
  constexpr int kEach = 20;
  std::vector<std::vector<std::pair<int64_t, std::string>>> stored(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string expuid = "t" + std::to_string(t) + "-" + std::to_string(i);
        // Every fourth body is sent again at once: a repeat inside the same batch.
        const std::string body = GzipPacket(MakeReportPacket(expuid));
        stored[static_cast<size_t>(t)].emplace_back(Store(body), expuid);
        if (i % 4 == 0) Store(body);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::map<int64_t, std::string> expuidOfRequest;
  {
    Database db(location_);
    Query rows(db, "SELECT request_id, expuid FROM reports");
    while (rows.Step()) expuidOfRequest[rows.Int(0)] = rows.Text(1);
  }
  std::set<int64_t> ids;
  for (const auto& list : stored) {
    for (const auto& entry : list) {
      ids.insert(entry.first);
      // The id returned is the request's own row, holding its own report.
      EXPECT_EQ(expuidOfRequest[entry.first], entry.second) << "request " << entry.first;
    }
  }
  EXPECT_EQ(ids.size(), size_t{kThreads * kEach});
  EXPECT_EQ(One("SELECT COUNT(*) FROM reports"), std::to_string(kThreads * kEach));
  EXPECT_EQ(One("SELECT COUNT(*) FROM requests"), std::to_string(kThreads * kEach + kThreads * kEach / 4));
}

TEST_P(StoreBackendTest, EachReportIsClaimedByOneCollectorAndAStaleClaimIsTakenOver) {
  for (int i = 1; i <= 5; ++i) Store(GzipPacket(MakeReportPacket("claim-" + std::to_string(i))));
  collector::AnalysisStore a(location_, "collector-a");
  collector::AnalysisStore b(location_, "collector-b");
  const int64_t now = 1700000000;
  EXPECT_EQ(a.NextReports(3, now), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(b.NextReports(64, now + 100), (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(a.NextReports(64, now + 10), std::vector<int64_t>{});
  EXPECT_EQ(One("SELECT owner FROM report_analyses WHERE report_id = 2"), "collector-a");

  // a finishes report 1 and gives report 2 back; report 3 it abandons.
  const collector::ReportFacts facts = a.LoadReport(1);
  collector::MinimalDumpAnalyser analyser;
  a.Save(facts, collector::AnalyseReport(facts, analyser), now);
  a.Release(2);
  EXPECT_EQ(One("SELECT state || '/' || COALESCE(owner, '-') FROM report_analyses WHERE report_id = 1"), "done/-");
  // b's own claims (4, 5) are fresh; a's report 3 is only stale after the timeout.
  EXPECT_EQ(b.NextReports(64, now + 299, 300), (std::vector<int64_t>{2}));
  EXPECT_EQ(b.NextReports(64, now + 301, 300), (std::vector<int64_t>{3}));
  EXPECT_EQ(One("SELECT COUNT(*) FROM report_analyses WHERE owner = 'collector-b'"), "4");
}

TEST_P(StoreBackendTest, TheStrategyIsSharedByEveryStoreOfTheDatabase) {
  RequestStore other(location_);
  EXPECT_EQ(other.ReadStrategy(), (std::map<std::string, std::string>{}));
  store_->WriteStrategy({{"B_Enable", "1"}, {"interval", "30"}});
  EXPECT_EQ(other.ReadStrategy(), (std::map<std::string, std::string>{{"B_Enable", "1"}, {"interval", "30"}}));
  store_->WriteStrategy({{"only", "this"}});
  EXPECT_EQ(other.ReadStrategy(), (std::map<std::string, std::string>{{"only", "this"}}));
}

TEST_P(StoreBackendTest, WebViewReadsGroupsAndReportsWithTheSchemaNames) {
  Store(GzipPacket(MakeReportPacket("web-1", "107")));
  Store(GzipPacket(MakeReportPacket("web-2", "107")));
  Store(GzipPacket(MakeReportPacket("web-3", "108")));
  collector::MinimalDumpAnalyser analyser;
  collector::BackgroundAnalyser background(location_, analyser);
  EXPECT_EQ(background.RunOnce(), 3);

  Database db(location_);
  const collector::Json result = collector::QueryGroups(db, collector::WebFilters{});
  const std::vector<collector::Json>& groups = result["groups"].Items();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]["count"].AsInt(), 2);
  EXPECT_EQ(groups[0]["title"].AsString(), "LuaError at main.lua:10");
  EXPECT_EQ(groups[1]["count"].AsInt(), 1);
  EXPECT_EQ(groups[0]["users"].AsInt(), 0);

  const collector::Json report = collector::QueryReport(db, 3);
  EXPECT_EQ(report["report"]["expuid"].AsString(), "web-3");
  EXPECT_EQ(report["report"]["expName"].AsString(), "LuaError");
  EXPECT_EQ(report["report"]["crashTime"].AsInt(), 1700000001);
  EXPECT_EQ(report["report"]["stackData"].AsString(), "(0 bytes)");
  EXPECT_EQ(report["request"]["cmd"].AsInt(), 830);
  EXPECT_EQ(report["userMap"]["level"].AsString(), "it's 3");
  EXPECT_EQ(report["analysis"]["state"].AsString(), "done");
}

TEST_P(StoreBackendTest, StoredSymbolFilesAreFoundWithTheirBytesAndAReplacementWins) {
  const std::string id = "0123456789abcdef0123456789abcdef1";
  auto contents = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  };
  const struct {
    const char* name;
    std::string bytes;
  } kVersions[] = {
      {"first", std::string("\x7f" "ELF first\0bytes", 16)},
      {"replacement", std::string("\x7f" "ELF second, longer\0", 20)},
  };
  for (const auto& version : kVersions) {
    SCOPED_TRACE(version.name);
    std::string error;
    collector::SymbolStore adding(location_);
    ASSERT_FALSE(adding.Store(id, false, "game.so", version.bytes, &error).empty()) << error;
    // Another store of the same database, as another collector would have.
    const collector::StoredSymbols found = collector::SymbolStore(location_).Find(id);
    ASSERT_FALSE(found.image_path.empty());
    EXPECT_EQ(contents(found.image_path), version.bytes);
    EXPECT_EQ(found.debug_path, "");
  }
  std::vector<collector::SymbolStore::Entry> entries;
  std::string error;
  ASSERT_TRUE(collector::SymbolStore(location_).List(&entries, &error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].file_name, "game.so");
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreBackendTest, testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const testing::TestParamInfo<Backend>& info) {
                           return std::string(info.param == Backend::kSqlite ? "Sqlite" : "Postgres");
                         });

}  // namespace
}  // namespace collector_test
