// End-to-end tests of the vextra-collector program: started as a child process
// on its own loopback address (127.A.B.x with A.B drawn per test program, an
// unprivileged port), spoken to over TLS with cpp-httplib's client, its
// database read back afterwards. A test talks to a collector only once that
// collector has written its own ready file, never to whatever listens there.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <sstream>

#include "VextraPkg.pb.h"
#include "collector/answer_builder.h"
#include "collector/tests/child_process.h"
#include "collector/tests/request_bodies.h"
#include "collector/zlib_codec.h"
#include "httplib.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"

namespace collector_test {
namespace {

constexpr int kPort = 18443;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CollectorProcessTest : public testing::Test {
 protected:
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(VEXTRA_COLLECTOR_PATH, args, Out().string(), Err().string());
  }
  // Starts a collector on address with the extra args, storing in its own
  // database (DbPath() from now on), and waits until it has written its ready
  // file: then the listener on address is this collector.
  std::unique_ptr<ChildProcess> StartServing(const std::string& address, std::vector<std::string> args) {
    db_ = "collector-" + address + ".db";
    const std::filesystem::path ready = ReadyFile(address);
    args.insert(args.end(), {"--listen", address, "--port", std::to_string(kPort), "--db", DbPath(), "--ready-file",
                             ready.string()});
    auto child = Start(args);
    EXPECT_TRUE(child->started());
    EXPECT_TRUE(WaitForFile(ready, *child)) << ReadFile(Err());
    return child;
  }
  std::filesystem::path Out() const { return dir_.path() / "out.txt"; }
  std::filesystem::path Err() const { return dir_.path() / "err.txt"; }
  std::string DbPath() const { return (dir_.path() / db_).string(); }
  std::filesystem::path ReadyFile(const std::string& address) const { return dir_.path() / ("ready-" + address); }

  std::string QueryOne(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(DbPath().c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
    std::string value = "<no row>";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
      value = sqlite3_column_type(stmt, 0) == SQLITE_NULL
                  ? "NULL"
                  : std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
  }

  vextra_test::TempDir dir_{"vextra-collector-process"};
  std::string db_ = "collector.db";
};

std::string Address(int host) { return vextra_test::LoopbackAddress(host); }

httplib::Result Post(const std::string& address, const std::string& body, int readTimeoutSeconds = 5) {
  httplib::SSLClient client(address, kPort);
  client.enable_server_certificate_verification(false);
  client.set_read_timeout(readTimeoutSeconds, 0);
  client.set_decompress(false);  // let the test see a "Content-Encoding" answer
  return client.Post("/pb/async", {{"cmd", "840"}}, body, "application/octet-stream");
}

VextraPkg::ResponsePkg ResponseOf(const std::string& body, bool gzipped) {
  std::string bytes = body;
  if (gzipped) EXPECT_TRUE(collector::Gunzip(body, &bytes));
  VextraPkg::UniPacket packet;
  EXPECT_TRUE(packet.ParseFromString(bytes));
  return packet.response();
}

TEST_F(CollectorProcessTest, BadArgumentsExitWithStatus2AndOneLine) {
  static const std::vector<std::string> kCases[] = {
      {"--port", "0"}, {"--nonsense"}, {"--strategy", "x"}, {"--web", "0.0.0.0:18480"}};
  for (const auto& args : kCases) {
    SCOPED_TRACE(testing::PrintToString(args));
    auto child = Start(args);
    ASSERT_TRUE(child->started());
    EXPECT_EQ(child->Stop(0), 2);
    const std::string err = ReadFile(Err());
    EXPECT_EQ(err.rfind("vextra-collector: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST_F(CollectorProcessTest, UnusableCertificateIsReportedAndExitsWithFailure) {
  auto child = Start({"--listen", Address(9), "--port", std::to_string(kPort), "--db", DbPath(), "--cert",
                      (dir_.path() / "none.pem").string(), "--key", (dir_.path() / "none.key").string()});
  EXPECT_EQ(child->Stop(0), 1);
  EXPECT_NE(ReadFile(Err()).find("cannot set up TLS"), std::string::npos) << ReadFile(Err());
}

TEST_F(CollectorProcessTest, AnswersAsConfiguredAndStoresEveryRequest) {
  static const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    bool gzipped;
    bool encodingHeader;
    const char* statusText;
  } kCases[] = {
      {"default", {"--strategy", "KEY_VEXTRA_DISABLE=0", "--strategy", "K2=v"}, 200, true, false, ""},
      {"status and text", {"--http-status", "503", "--status-text", "closed"}, 503, true, false, "closed"},
      {"encoding header and plain body", {"--gzip-encoding-header", "--plain-body"}, 200, false, true, ""},
  };
  int n = 10;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    // Each row has its own address and database, so no row reads another's rows.
    const std::string address = Address(n++);
    auto child = StartServing(address, c.args);
    const std::string body = GzipPacket(MakeUserInfoPacket());
    auto result = Post(address, body);
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, c.status);
    EXPECT_EQ(result->get_header_value("Content-Encoding"), c.encodingHeader ? "gzip" : "");
    const VextraPkg::ResponsePkg response = ResponseOf(result->body, c.gzipped);
    EXPECT_EQ(response.cmd(), 840);
    EXPECT_EQ(response.status(), c.statusText);
    if (std::string(c.name) == "default") {
      VextraPkg::KplStrategy strategy;
      ASSERT_TRUE(strategy.ParseFromString(response.sbuffer()));
      EXPECT_EQ(strategy.valuemap().at("KEY_VEXTRA_DISABLE"), "0");
      EXPECT_EQ(strategy.valuemap().at("K2"), "v");
    }
    EXPECT_EQ(QueryOne("SELECT answer_status FROM requests ORDER BY id DESC LIMIT 1"), std::to_string(c.status));
    EXPECT_EQ(QueryOne("SELECT proceName FROM user_infos ORDER BY id DESC LIMIT 1"), "game.exe");
    EXPECT_EQ(child->Stop(SIGTERM), 0);
    EXPECT_NE(ReadFile(Out()).find("cmd=840 session=5E55105E55105E55105E55105E55105E body=" +
                                   std::to_string(body.size()) + " answer=" + std::to_string(c.status)),
              std::string::npos)
        << ReadFile(Out());
  }
}

TEST_F(CollectorProcessTest, SizedAnswerIsStreamedWithTheUsualBodyInFront) {
  const std::string address = Address(25);
  const size_t size = 3 * 1024 * 1024 + 7;
  auto child = StartServing(address, {"--answer-bytes", std::to_string(size)});
  auto result = Post(address, GzipPacket(MakeUserInfoPacket()));
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, 200);
  ASSERT_EQ(result->body.size(), size);
  const std::string usual = collector::BuildAnswer(collector::CollectorOptions{}, 840).body;
  EXPECT_EQ(result->body.substr(0, usual.size()), usual);
  EXPECT_EQ(result->body.find_first_not_of('\0', usual.size()), std::string::npos);
  EXPECT_EQ(child->Stop(SIGTERM), 0);
  EXPECT_NE(ReadFile(Out()).find("answer=200 gzip " + std::to_string(size) + " bytes"), std::string::npos)
      << ReadFile(Out());
}

TEST_F(CollectorProcessTest, DroppedConnectionGivesNoAnswerButTheRequestIsStored) {
  const std::string address = Address(20);
  auto child = StartServing(address, {"--drop"});
  auto result = Post(address, GzipPacket(MakeReportPacket("DROPPED1")));
  EXPECT_FALSE(result);
  EXPECT_EQ(QueryOne("SELECT answer_status IS NULL FROM requests"), "1");
  EXPECT_EQ(QueryOne("SELECT expuid FROM reports"), "DROPPED1");
  EXPECT_EQ(child->Stop(SIGINT), 0);
}

TEST_F(CollectorProcessTest, DelayedAnswerOutlastsAShortReadTimeoutAndStopEndsTheWait) {
  const std::string address = Address(21);
  auto child = StartServing(address, {"--delay-ms", "600000"});
  EXPECT_FALSE(Post(address, GzipPacket(MakeUserInfoPacket()), /*readTimeoutSeconds=*/1));
  // The stop cuts the pending wait short instead of holding the process for ten minutes.
  EXPECT_EQ(child->Stop(SIGTERM), 0);
  EXPECT_NE(ReadFile(Out()).find("stopped"), std::string::npos);
}

TEST_F(CollectorProcessTest, StopFileEndsTheCollector) {
  const std::string address = Address(23);
  const std::filesystem::path stopFile = dir_.path() / "stop";
  auto child = StartServing(address, {"--stop-file", stopFile.string()});
  EXPECT_EQ(child->Stop(0, std::chrono::milliseconds(300)), -1);  // still serving
  std::ofstream(stopFile).put('x');
  EXPECT_EQ(child->Stop(0), 0);
  EXPECT_NE(ReadFile(Out()).find("stopped"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(stopFile));
}

TEST_F(CollectorProcessTest, ReadyFileMarksTheListenerAndATakenAddressIsRefused) {
  const std::string address = Address(24);
  auto first = StartServing(address, {});
  EXPECT_EQ(ReadFile(ReadyFile(address)), "listening on " + address + " port " + std::to_string(kPort) + "\n");

  const std::filesystem::path secondReady = dir_.path() / "second-ready";
  auto second = Start({"--listen", address, "--port", std::to_string(kPort), "--db",
                       (dir_.path() / "second.db").string(), "--ready-file", secondReady.string()});
  EXPECT_EQ(second->Stop(0), 1);
  EXPECT_NE(ReadFile(Err()).find("cannot listen on " + address), std::string::npos) << ReadFile(Err());
  EXPECT_FALSE(std::filesystem::exists(secondReady));
  EXPECT_EQ(first->Stop(SIGTERM), 0);
}

TEST_F(CollectorProcessTest, UndecodableBodyIsStoredAndAnswered) {
  const std::string address = Address(22);
  auto child = StartServing(address, {});
  auto result = Post(address, "plain text, not gzip");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(QueryOne("SELECT decode_error FROM requests"), "body is not a gzip stream");
  EXPECT_EQ(QueryOne("SELECT body FROM requests"), "plain text, not gzip");

  // Other paths and methods get a 404 and are kept as well.
  httplib::SSLClient client(address, kPort);
  client.enable_server_certificate_verification(false);
  auto other = client.Post("/other", "x", "text/plain");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
  auto get = client.Get("/pb/async");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 404);
  EXPECT_EQ(child->Stop(SIGTERM), 0);
  EXPECT_EQ(QueryOne("SELECT group_concat(method || ' ' || path || ' ' || answer_status || ' ' || decode_error, '|') "
                     "FROM requests WHERE id > 1"),
            "POST /other 404 not POST /pb/async: POST /other|GET /pb/async 404 not POST /pb/async: GET /pb/async");
  EXPECT_NE(ReadFile(Out()).find("cmd=? error='not POST /pb/async: GET /pb/async' body=0 answer=404"),
            std::string::npos)
      << ReadFile(Out());
}

TEST_F(CollectorProcessTest, WebViewWithATokenAnswersOnlyThoseWhoGiveIt) {
  const std::string address = Address(26);
  constexpr int kWebPort = 18480;
  auto child = StartServing(address, {"--web", address + ":" + std::to_string(kWebPort), "--web-token", "s3cret"});
  // A report, so that there is data to withhold.
  ASSERT_TRUE(Post(address, GzipPacket(MakeReportPacket("web-uid"))));
  httplib::Client web(address, kWebPort);
  const struct {
    const char* path;
    httplib::Headers headers;
    int status;
  } kCases[] = {
      {"/", {}, 401},
      {"/api/groups", {}, 401},
      {"/api/reports/1", {}, 401},
      {"/reports/1?token=wrong", {}, 401},
      {"/api/reports/1", {{"Authorization", "Bearer wrong"}}, 401},
      {"/api/reports/1", {{"Cookie", "vextra_web_token=wrong"}}, 401},
      {"/api/reports/1", {{"Authorization", "Bearer s3cret"}}, 200},
      {"/reports/1", {{"Cookie", "vextra_web_token=s3cret"}}, 200},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path + (c.headers.empty() ? std::string() : " " + c.headers.begin()->second));
    auto result = web.Get(c.path, c.headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    if (c.status == 401) EXPECT_EQ(result->body.find("web-uid"), std::string::npos) << result->body;
    if (c.status == 200) EXPECT_NE(result->body.find("web-uid"), std::string::npos) << result->body;
  }
  // Logging in with the token sets the cookie the later pages carry.
  auto login = web.Get("/reports/1?token=s3cret");
  ASSERT_TRUE(login);
  EXPECT_EQ(login->status, 200);
  EXPECT_EQ(login->get_header_value("Set-Cookie").rfind("vextra_web_token=s3cret;", 0), 0u);
  EXPECT_NE(login->body.find("web-uid"), std::string::npos);
  EXPECT_NE(ReadFile(Out()).find("web view on http://" + address + ":18480/ (access token required)"), std::string::npos);
  EXPECT_EQ(child->Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace collector_test
