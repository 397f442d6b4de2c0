#pragma once
// The PostgreSQL server of a collector test program: one per program,
// started on first use, each test in a database of its own.

#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <string>

#include "support/postgres_server.h"

namespace collector_test {

inline vextra_test::PostgresServer& Postgres() {
  static vextra_test::PostgresServer* server = [] {
    auto* s = new vextra_test::PostgresServer(VEXTRA_POSTGRES_SERVER_SCRIPT);
    if (!s->Start()) ADD_FAILURE() << s->error();
    return s;
  }();
  return *server;
}

// A new empty database on the server; its URI.
inline std::string FreshPostgresDatabase() {
  static int made = 0;
  const std::string name = "store_" + std::to_string(++made);
  PGconn* admin = PQconnectdb(Postgres().uri().c_str());
  EXPECT_EQ(PQstatus(admin), CONNECTION_OK) << PQerrorMessage(admin);
  PGresult* result = PQexec(admin, ("CREATE DATABASE " + name).c_str());
  EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(admin);
  PQclear(result);
  PQfinish(admin);
  const std::string& uri = Postgres().uri();
  return uri.substr(0, uri.rfind('/') + 1) + name;
}

}  // namespace collector_test
