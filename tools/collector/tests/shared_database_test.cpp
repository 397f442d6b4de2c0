// Collector programs on one PostgreSQL database of the test's own: two on two
// loopback addresses take a load between them and store every report once;
// one whose database goes away leaves the request unanswered (or answers the
// status it is given) and serves again once it is back;
// a body over the limit is refused with 413.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "collector/storage/database.h"
#include "collector/tests/child_process.h"
#include "collector/tests/request_bodies.h"
#include "collector/tests/test_postgres.h"
#include "httplib.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"

namespace collector_test {
namespace {

// A collector may close a kept-alive connection while a client is writing the
// next request on it: the write then fails with EPIPE, which the client
// reports and the test counts, instead of the signal ending the test program.
const bool kWritesToClosedSocketsFail = [] {
  signal(SIGPIPE, SIG_IGN);
  return true;
}();

constexpr int kPort = 18543;
constexpr int kWebPort = 18580;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string One(const std::string& location, const std::string& sql) {
  collector::Database db(location);
  collector::Query query(db, sql);
  return query.Step() ? query.Text(0) : "<no row>";
}

class SharedDatabaseTest : public testing::Test {
 protected:
  // A collector on 127.A.B.host storing in db, with its web view on the same
  // address; returns once it has written its ready file.
  std::unique_ptr<ChildProcess> StartCollector(int host, const std::string& db, std::vector<std::string> args = {}) {
    const std::string address = vextra_test::LoopbackAddress(host);
    const std::string name = "collector-" + std::to_string(host);
    const std::filesystem::path ready = dir_.path() / (name + ".ready");
    args.insert(args.end(), {"--listen", address, "--port", std::to_string(kPort), "--db", db, "--ready-file",
                             ready.string(), "--web", address + ":" + std::to_string(kWebPort)});
    auto child = std::make_unique<ChildProcess>(VEXTRA_COLLECTOR_PATH, args, Out(host).string(),
                                                (dir_.path() / (name + ".err")).string());
    EXPECT_TRUE(child->started());
    EXPECT_TRUE(WaitForFile(ready, *child)) << ReadFile(dir_.path() / (name + ".err"));
    return child;
  }
  std::filesystem::path Out(int host) const { return dir_.path() / ("collector-" + std::to_string(host) + ".out"); }

  vextra_test::TempDir dir_{"vextra-shared-db"};
};

std::unique_ptr<httplib::SSLClient> ClientOf(int host) {
  auto client = std::make_unique<httplib::SSLClient>(vextra_test::LoopbackAddress(host), kPort);
  client->enable_server_certificate_verification(false);
  client->set_keep_alive(true);
  client->set_read_timeout(30, 0);
  return client;
}

int PostStatus(httplib::SSLClient& client, const std::string& body) {
  const auto result = client.Post("/pb/async", body, "application/octet-stream");
  return result ? result->status : -1;
}

std::string GroupsOf(int host) {
  httplib::Client web(vextra_test::LoopbackAddress(host), kWebPort);
  const auto result = web.Get("/api/groups");
  return result && result->status == 200 ? result->body : "<no answer>";
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(SharedDatabaseTest, TwoCollectorsStoreEveryReportOnceAndShowTheSameGroups) {
  const std::string db = FreshPostgresDatabase();
  auto first = StartCollector(1, db);
  auto second = StartCollector(2, db);

  // 10,000 reports in five groups of 2,000; every tenth body is sent again,
  // to the other collector.
  constexpr int kReports = 10000;
  constexpr int kClients = 16;
  const char* const kTypes[] = {"107", "108", "109", "110", "111"};
  std::atomic<int> next{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::unique_ptr<httplib::SSLClient> own = ClientOf(1 + c % 2);
      std::unique_ptr<httplib::SSLClient> other = ClientOf(2 - c % 2);
      for (int i = next++; i < kReports; i = next++) {
        const std::string body = GzipPacket(MakeReportPacket("load-" + std::to_string(i), kTypes[i % 5]));
        if (PostStatus(*own, body) != 200) ++failed;
        if (i % 10 == 0 && PostStatus(*other, body) != 200) ++failed;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(failed.load(), 0);

  EXPECT_EQ(One(db, "SELECT COUNT(*) FROM requests"), "11000");
  EXPECT_EQ(One(db, "SELECT COUNT(*) FROM reports"), "10000");
  EXPECT_EQ(One(db, "SELECT COUNT(DISTINCT expuid) FROM reports"), "10000");
  EXPECT_EQ(One(db, "SELECT COUNT(*) FROM attachments"), "30000");
  // Each collector took part, and each printed the repeats it was sent.
  EXPECT_NE(One(db, "SELECT COUNT(DISTINCT remote_addr) FROM requests"), "0");
  const std::string out1 = ReadFile(Out(1));
  const std::string out2 = ReadFile(Out(2));
  EXPECT_EQ(Occurrences(out1, " repeat ") + Occurrences(out2, " repeat "), 1000u);

  // Every report analysed once, between the two.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  std::string analysed;
  while ((analysed = One(db, "SELECT COUNT(*) FROM report_analyses WHERE state = 'done'")) != "10000" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(analysed, "10000");
  EXPECT_EQ(One(db, "SELECT CAST(SUM(report_count) AS BIGINT) FROM crash_groups"), "10000");
  EXPECT_EQ(One(db, "SELECT COUNT(DISTINCT owner) FROM report_analyses"), "0");  // every claim let go

  const std::string groups1 = GroupsOf(1);
  EXPECT_EQ(Occurrences(groups1, "\"count\":2000,"), 5u) << groups1.substr(0, 2000);
  EXPECT_EQ(GroupsOf(2), groups1);
}

TEST_F(SharedDatabaseTest, AnOutageIsAFailureForTheClientAndTheCollectorServesAgainWithoutARestart) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int statusDuring;  // -1: no answer at all
    const char* answerLine;
  } kCases[] = {
      {"by default the connection closes unanswered", {}, -1, "answer=none (database unavailable)"},
      {"or the status given", {"--unavailable-status", "503"}, 503, "answer=503 database unavailable"},
  };
  int host = 10;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string db = FreshPostgresDatabase();
    auto collector = StartCollector(++host, db, c.args);
    auto client = ClientOf(host);
    const std::string before = GzipPacket(MakeReportPacket("before"));
    ASSERT_EQ(PostStatus(*client, before), 200);

    ASSERT_TRUE(Postgres().Stop()) << Postgres().error();
    EXPECT_EQ(PostStatus(*client, GzipPacket(MakeReportPacket("during"))), c.statusDuring);
    const std::string out = ReadFile(Out(host));
    EXPECT_NE(out.find("cannot store the request: "), std::string::npos) << out;
    const size_t line = out.find("expuid=during body=");
    ASSERT_NE(line, std::string::npos) << out;
    EXPECT_NE(out.substr(line, out.find('\n', line) - line).find(c.answerLine), std::string::npos) << out;
    ASSERT_TRUE(Postgres().Start()) << Postgres().error();

    // The re-send after the outage is stored like any first send.
    EXPECT_EQ(PostStatus(*client, GzipPacket(MakeReportPacket("during"))), 200);
    EXPECT_EQ(PostStatus(*client, GzipPacket(MakeReportPacket("after"))), 200);
    EXPECT_EQ(One(db, "SELECT string_agg(expuid, ',' ORDER BY id) FROM reports"), "before,during,after");
    EXPECT_EQ(One(db, "SELECT body FROM requests WHERE id = 1"), before);
  }
}

TEST_F(SharedDatabaseTest, ABodyOverTheLimitIsRefusedWith413AndRecorded) {
  const std::string db = (dir_.path() / "collector.db").string();
  auto collector = StartCollector(4, db, {"--max-body-bytes", "1000"});
  auto client = ClientOf(4);
  const struct {
    const char* name;
    size_t size;
    int status;
  } kCases[] = {
      {"at the limit", 1000, 200},
      {"one byte over", 1001, 413},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PostStatus(*client, std::string(c.size, 'x')), c.status);
  }
  // The refusal is answered before it is stored and printed: wait for its line.
  const std::string line = "error='body larger than 1000 bytes' body=0 answer=413";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadFile(Out(4)).find(line) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(ReadFile(Out(4)).find(line), std::string::npos) << ReadFile(Out(4));
  EXPECT_EQ(One(db, "SELECT group_concat(answer_status) FROM requests"), "200,413");
}

}  // namespace
}  // namespace collector_test
