#include "collector/request_store.h"

#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <stdexcept>

#include "collector/tests/request_bodies.h"
#include "support/temp_dir.h"

namespace collector {
namespace {

// Reads the collector's database the way a test or a person would.
class Reader {
 public:
  explicit Reader(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK); }
  ~Reader() { sqlite3_close(db_); }

  // Rows of a query, each cell as text ("NULL" for null).
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const void* bytes = sqlite3_column_blob(stmt, i);
        row.push_back(sqlite3_column_type(stmt, i) == SQLITE_NULL
                          ? "NULL"
                          : std::string(static_cast<const char*>(bytes), sqlite3_column_bytes(stmt, i)));
      }
      rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    return rows;
  }
  std::string One(const std::string& sql) {
    const auto rows = Rows(sql);
    return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<" + std::to_string(rows.size()) + " rows>";
  }

 private:
  sqlite3* db_ = nullptr;
};

ReceivedRequest Received(const std::string& body) {
  ReceivedRequest received;
  received.receivedAt = 1700000100;
  received.remoteAddr = "127.0.0.9";
  received.path = "/pb/async";
  received.headers = {{"cmd", "830"}, {"prodId", "app-1"}, {"Content-Type", "application/octet-stream"}};
  received.body = body;
  return received;
}

class RequestStoreTest : public testing::Test {
 protected:
  std::string DbPath() const { return (dir_.path() / "collector.db").string(); }
  vextra_test::TempDir dir_{"vextra-collector-store"};
};

TEST_F(RequestStoreTest, ReportRequestKeepsEnvelopeReportAttachmentsAndMaps) {
  const std::string body = collector_test::GzipPacket(collector_test::MakeReportPacket("ABC123", "101"));
  const DecodedRequest decoded = DecodeRequestBody(body);
  ASSERT_TRUE(decoded.decoded);
  Answer answer;
  answer.httpStatus = 500;
  int64_t id = 0;
  {
    RequestStore store(DbPath());
    id = store.Store(Received(body), decoded, answer, "500 gzip");
  }
  Reader db(DbPath());
  const std::string where = " WHERE id=" + std::to_string(id);
  EXPECT_EQ(db.One("SELECT body FROM requests" + where), body);
  EXPECT_EQ(db.Rows("SELECT body_size, decoded, decode_error, answer_status, answer, cmd, prodId, sdkVer, "
                    "timeZoneSeconds, sServantName FROM requests" + where),
            (std::vector<std::vector<std::string>>{{std::to_string(body.size()), "1", "", "500", "500 gzip", "830",
                                                    "app-1", "2.2.2.944", "-28800", "KplServer"}}));
  EXPECT_EQ(db.One("SELECT value FROM request_headers WHERE name='prodId' AND request_id=" + std::to_string(id)),
            "app-1");

  EXPECT_EQ(db.Rows("SELECT type, expuid, expName, ehType, stackBeginAddress FROM reports"),
            (std::vector<std::vector<std::string>>{
                {"101", "ABC123", "LuaError", "2", std::to_string(static_cast<int64_t>(0xFFFFFFFF00000010ull))}}));
  EXPECT_EQ(db.Rows("SELECT fileName, inflated, content, error = '' FROM attachments ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"log.zip", "1", "first line\nsecond line\n", "1"},
                                                   {"extra.txt", "0", std::string("raw\0bytes", 9), "1"},
                                                   {"broken.zip", "0", "", "0"}}));
  // Values with quotes are stored as given (bound, never spliced into SQL).
  EXPECT_EQ(db.Rows("SELECT owner, map, key, value FROM map_entries ORDER BY map"),
            (std::vector<std::vector<std::string>>{{"report", "userMap", "level", "it's 3"},
                                                   {"report", "valueMap", "A1", "16384"}}));
}

TEST_F(RequestStoreTest, UserInfoRequestKeepsSummaries) {
  const std::string body = collector_test::GzipPacket(collector_test::MakeUserInfoPacket());
  {
    RequestStore store(DbPath());
    store.Store(Received(body), DecodeRequestBody(body), Answer{}, "200 gzip");
  }
  Reader db(DbPath());
  EXPECT_EQ(db.Rows("SELECT proceName, userId, deviceBootTime FROM user_infos"),
            (std::vector<std::vector<std::string>>{{"game.exe", "user-9", "1699990000"}}));
  EXPECT_EQ(db.Rows("SELECT sessionId, gatewayIp, coldStart, startType FROM summaries"),
            (std::vector<std::vector<std::string>>{{"5E55105E55105E55105E55105E55105E", "unknown", "1", "1"}}));
  EXPECT_EQ(db.One("SELECT value FROM map_entries WHERE owner='user_info' AND key='A34'"), "game.exe");
  EXPECT_EQ(db.One("SELECT COUNT(*) FROM reports"), "0");
}

TEST_F(RequestStoreTest, UndecodableRequestKeepsItsBytesAndDroppedAnswerHasNoStatus) {
  const std::string body = "definitely not gzip";
  Answer dropped;
  dropped.drop = true;
  {
    RequestStore store(DbPath());
    store.Store(Received(body), DecodeRequestBody(body), dropped, "dropped");
  }
  Reader db(DbPath());
  EXPECT_EQ(db.Rows("SELECT method, path, body, decoded, decode_error, answer_status, answer, cmd, prodId "
                    "FROM requests"),
            (std::vector<std::vector<std::string>>{
                {"POST", "/pb/async", body, "0", "body is not a gzip stream", "NULL", "dropped", "NULL", "NULL"}}));
}

TEST_F(RequestStoreTest, ReopeningAddsToEarlierRequests) {
  const std::string body = collector_test::GzipPacket(collector_test::MakeUserInfoPacket());
  for (int run = 0; run < 2; ++run) {
    RequestStore store(DbPath());
    store.Store(Received(body), DecodeRequestBody(body), Answer{}, "200 gzip");
  }
  Reader db(DbPath());
  EXPECT_EQ(db.One("SELECT COUNT(*) FROM requests"), "2");
  EXPECT_EQ(db.One("SELECT COUNT(DISTINCT id) FROM user_infos"), "2");
}

TEST_F(RequestStoreTest, EveryMessageFieldHasItsColumn) {
  { RequestStore store(DbPath()); }
  Reader db(DbPath());
  static const struct {
    const char* table;
    const google::protobuf::Descriptor* message;
  } kTables[] = {
      {"requests", VextraPkg::UniPacket::descriptor()},
      {"requests", VextraPkg::RequestPkg::descriptor()},
      {"reports", VextraPkg::ExceptionUpload::descriptor()},
      {"user_infos", VextraPkg::UserInfoPackage::descriptor()},
      {"summaries", VextraPkg::SummaryInfo::descriptor()},
  };
  for (const auto& t : kTables) {
    SCOPED_TRACE(t.table);
    std::set<std::string> columns;
    for (const auto& row : db.Rows(std::string("SELECT name FROM pragma_table_info('") + t.table + "')")) {
      columns.insert(row[0]);
    }
    for (int i = 0; i < t.message->field_count(); ++i) {
      const auto* field = t.message->field(i);
      if (field->is_repeated() || field->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) continue;
      EXPECT_EQ(columns.count(field->name()), 1u) << field->name();
    }
  }
}

TEST_F(RequestStoreTest, UnopenableFileIsAnErrorNamingIt) {
  const std::string path = (dir_.path() / "missing-dir" / "collector.db").string();
  try {
    RequestStore store(path);
    FAIL() << "opened " << path;
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace collector
