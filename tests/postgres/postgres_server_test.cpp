// The test PostgreSQL server: it starts, serves over loopback TCP with its
// password and over its socket, goes down so that queries fail plainly, and
// comes back on the same URI with every committed row.

#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/postgres_server.h"

namespace {

struct ConnDeleter {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Conn = std::unique_ptr<PGconn, ConnDeleter>;

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

Conn Connect(const std::string& uri) { return Conn(PQconnectdb(uri.c_str())); }

// Runs a command that returns no rows; "" on success, the server's error otherwise.
std::string Exec(PGconn* conn, const std::string& sql) {
  Result result(PQexec(conn, sql.c_str()));
  if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) return "";
  return std::string("failed: ") + PQerrorMessage(conn);
}

class PostgresServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.error(); }

  vextra_test::PostgresServer server_;
};

TEST_F(PostgresServerTest, ServesOverLoopbackWithItsPasswordAndOverItsSocket) {
  const std::string uri = server_.uri();
  ASSERT_EQ(uri.rfind("postgresql://vextra:", 0), 0u) << uri;
  const size_t at = uri.find('@');
  ASSERT_NE(at, std::string::npos) << uri;
  const std::string host = uri.substr(at + 1, uri.find(':', at) - at - 1);
  // A loopback address, never a wildcard or an outside one.
  EXPECT_EQ(host.rfind("127.", 0), 0u) << uri;

  const std::string wrongPassword = "postgresql://vextra:not-the-password@" + uri.substr(at + 1);
  const struct {
    const char* name;
    std::string uri;
    bool connects;
    const char* error;  // part of the error when it does not
  } cases[] = {
      {"TCP URI as printed", uri, true, ""},
      {"socket URI", server_.socketUri(), true, ""},
      {"wrong password", wrongPassword, false, "password authentication failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Conn conn = Connect(c.uri);
    if (c.connects) {
      ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
      Result result(PQexec(conn.get(), "SELECT current_database(), current_user"));
      ASSERT_EQ(PQresultStatus(result.get()), PGRES_TUPLES_OK) << PQerrorMessage(conn.get());
      EXPECT_STREQ(PQgetvalue(result.get(), 0, 0), "vextra");
      EXPECT_STREQ(PQgetvalue(result.get(), 0, 1), "vextra");
    } else {
      EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
      EXPECT_NE(std::string(PQerrorMessage(conn.get())).find(c.error), std::string::npos)
          << PQerrorMessage(conn.get());
    }
  }
}

TEST_F(PostgresServerTest, QueriesFailPlainlyWhileDownAndCommittedRowsSurviveTheOutage) {
  Conn conn = Connect(server_.uri());
  ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
  ASSERT_EQ(Exec(conn.get(), "CREATE TABLE reports (expuid text PRIMARY KEY, body bytea NOT NULL)"), "");
  ASSERT_EQ(Exec(conn.get(), "INSERT INTO reports VALUES ('E-1', '\\x1f8b08'::bytea)"), "");
  const std::string uriBefore = server_.uri();

  ASSERT_TRUE(server_.Stop()) << server_.error();
  ASSERT_TRUE(server_.Stop()) << "a second stop: " << server_.error();

  // The open connection was cut: its next query fails and says so.
  {
    Result result(PQexec(conn.get(), "SELECT count(*) FROM reports"));
    EXPECT_NE(PQresultStatus(result.get()), PGRES_TUPLES_OK);
    const std::string error = PQerrorMessage(conn.get());
    EXPECT_TRUE(error.find("terminating connection") != std::string::npos ||
                error.find("server closed the connection") != std::string::npos)
        << error;
    EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
  }
  // Nobody listens any more, on either way in.
  for (const std::string& uri : {server_.uri(), server_.socketUri()}) {
    SCOPED_TRACE(uri);
    Conn down = Connect(uri);
    EXPECT_EQ(PQstatus(down.get()), CONNECTION_BAD);
    const std::string error = PQerrorMessage(down.get());
    EXPECT_TRUE(error.find("Connection refused") != std::string::npos ||
                error.find("No such file or directory") != std::string::npos)
        << error;
  }

  ASSERT_TRUE(server_.Start()) << server_.error();
  // Same address and port: a client keeps its URI and reconnects.
  EXPECT_EQ(server_.uri(), uriBefore);
  PQreset(conn.get());
  ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
  Result rows(PQexec(conn.get(), "SELECT expuid, encode(body, 'hex') FROM reports"));
  ASSERT_EQ(PQresultStatus(rows.get()), PGRES_TUPLES_OK) << PQerrorMessage(conn.get());
  ASSERT_EQ(PQntuples(rows.get()), 1);
  EXPECT_STREQ(PQgetvalue(rows.get(), 0, 0), "E-1");
  EXPECT_STREQ(PQgetvalue(rows.get(), 0, 1), "1f8b08");
}

TEST(PostgresServerPairTest, TwoServersAtOnceHaveTheirOwnAddressesAndData) {
  vextra_test::PostgresServer first;
  vextra_test::PostgresServer second;
  ASSERT_TRUE(first.Start()) << first.error();
  ASSERT_TRUE(second.Start()) << second.error();
  EXPECT_NE(first.uri(), second.uri());

  Conn a = Connect(first.uri());
  Conn b = Connect(second.uri());
  ASSERT_EQ(PQstatus(a.get()), CONNECTION_OK) << PQerrorMessage(a.get());
  ASSERT_EQ(PQstatus(b.get()), CONNECTION_OK) << PQerrorMessage(b.get());
  ASSERT_EQ(Exec(a.get(), "CREATE TABLE only_in_first (x int)"), "");
  EXPECT_NE(Exec(b.get(), "DROP TABLE only_in_first").find("does not exist"), std::string::npos);

  // Stopping one leaves the other serving.
  ASSERT_TRUE(first.Stop()) << first.error();
  Result result(PQexec(b.get(), "SELECT 1"));
  EXPECT_EQ(PQresultStatus(result.get()), PGRES_TUPLES_OK) << PQerrorMessage(b.get());
}

}  // namespace
