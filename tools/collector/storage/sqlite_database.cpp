#include <sqlite3.h>

#include "collector/storage/database.h"

namespace collector {
namespace {

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  const int code = sqlite3_errcode(db);
  // A locked or unreadable file may serve again later; a refused statement will not.
  const bool unavailable = code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_IOERR ||
                           code == SQLITE_CANTOPEN || code == SQLITE_FULL;
  throw DatabaseError(what + ": " + sqlite3_errmsg(db), unavailable);
}

class SqliteStatement : public StatementImpl {
 public:
  SqliteStatement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) Fail(db_, "cannot prepare '" + sql + "'");
  }
  ~SqliteStatement() override { sqlite3_finalize(stmt_); }

  void BindInt(int index, int64_t value) override { Check(sqlite3_bind_int64(stmt_, index, value)); }
  void BindText(int index, const std::string& value) override {
    Check(sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  }
  void BindBlob(int index, const std::string& bytes) override {
    Check(sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
  }
  void BindNull(int index) override { Check(sqlite3_bind_null(stmt_, index)); }

  bool Step() override {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, "query failed");
  }
  void Reset() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  int Columns() const override { return sqlite3_column_count(stmt_); }
  std::string Name(int column) const override { return sqlite3_column_name(stmt_, column); }
  ColumnType Type(int column) const override {
    switch (sqlite3_column_type(stmt_, column)) {
      case SQLITE_NULL: return ColumnType::kNull;
      case SQLITE_INTEGER: return ColumnType::kInteger;
      case SQLITE_BLOB: return ColumnType::kBlob;
      default: return ColumnType::kText;
    }
  }
  int64_t Int(int column) const override { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const override {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Fail(db_, "cannot bind");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteConnection : public Connection {
 public:
  SqliteConnection(const std::string& path, bool readOnly) {
    const int flags =
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw DatabaseError("cannot open database '" + path + "': " + message, true);
    }
    sqlite3_busy_timeout(db_, 10000);
    if (!readOnly) {
      try {
        // Write-ahead journal: readers in other processes never block the collector.
        Exec("PRAGMA journal_mode=WAL;");
      } catch (const std::exception& error) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw DatabaseError("database '" + path + "': " + error.what(), false);
      }
    }
  }
  ~SqliteConnection() override { sqlite3_close(db_); }

  Backend backend() const override { return Backend::kSqlite; }
  void Exec(const std::string& sql) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message ? message : "unknown error";
      sqlite3_free(message);
      const int code = sqlite3_errcode(db_);
      throw DatabaseError("'" + sql.substr(0, 80) + "' failed: " + text, code == SQLITE_BUSY || code == SQLITE_IOERR);
    }
  }
  std::unique_ptr<StatementImpl> Prepare(const std::string& sql) override {
    return std::make_unique<SqliteStatement>(db_, sql);
  }
  int64_t Changes() const override { return sqlite3_changes(db_); }
  void Begin() override { Exec("BEGIN IMMEDIATE"); }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Connection> OpenSqliteConnection(const std::string& path, bool readOnly) {
  return std::make_unique<SqliteConnection>(path, readOnly);
}

}  // namespace collector
