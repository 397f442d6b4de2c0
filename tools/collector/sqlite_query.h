#pragma once
// A small wrapper over SQLite for the analyser and the web view: one
// connection, statements that bind every value and read columns by index.
// Errors throw std::runtime_error with SQLite's message.

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace collector {

class SqliteDb {
 public:
  // Opens the collector's database (the tables exist or are created by the
  // caller); readOnly connections never write.
  explicit SqliteDb(const std::string& path, bool readOnly = false);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  sqlite3* get() const { return db_; }
  void Exec(const std::string& sql);
  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

 private:
  sqlite3* db_ = nullptr;
};

class SqliteQuery {
 public:
  SqliteQuery(const SqliteDb& db, const std::string& sql);
  ~SqliteQuery() { sqlite3_finalize(stmt_); }
  SqliteQuery(const SqliteQuery&) = delete;
  SqliteQuery& operator=(const SqliteQuery&) = delete;

  // Parameters count from 1, as in SQL.
  SqliteQuery& Bind(int index, int64_t value);
  SqliteQuery& Bind(int index, const std::string& value);
  SqliteQuery& BindBlob(int index, const std::string& bytes);
  SqliteQuery& BindNull(int index);
  // True while a row is there; throws on an error.
  bool Step();
  // Runs a statement that returns no rows.
  void Run() {
    while (Step()) {
    }
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  int Columns() const { return sqlite3_column_count(stmt_); }
  std::string Name(int column) const { return sqlite3_column_name(stmt_, column); }
  int Type(int column) const { return sqlite3_column_type(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const;  // also the bytes of a BLOB; empty for NULL

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Runs BEGIN IMMEDIATE, and ROLLBACK unless Commit was called.
class SqliteTransaction {
 public:
  explicit SqliteTransaction(SqliteDb& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE;"); }
  ~SqliteTransaction() {
    if (!done_) sqlite3_exec(db_.get(), "ROLLBACK;", nullptr, nullptr, nullptr);
  }
  void Commit() {
    db_.Exec("COMMIT;");
    done_ = true;
  }

 private:
  SqliteDb& db_;
  bool done_ = false;
};

}  // namespace collector
