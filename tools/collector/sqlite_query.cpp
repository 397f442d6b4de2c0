#include "collector/sqlite_query.h"

namespace collector {

SqliteDb::SqliteDb(const std::string& path, bool readOnly) {
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open database '" + path + "': " + message);
  }
  sqlite3_busy_timeout(db_, 10000);
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

void SqliteDb::Exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw std::runtime_error("'" + sql.substr(0, 80) + "' failed: " + text);
  }
}

SqliteQuery::SqliteQuery(const SqliteDb& db, const std::string& sql) : db_(db.get()) {
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
    throw std::runtime_error("cannot prepare '" + sql + "': " + sqlite3_errmsg(db_));
  }
}

SqliteQuery& SqliteQuery::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
  return *this;
}

SqliteQuery& SqliteQuery::Bind(int index, const std::string& value) {
  if (sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db_));
  }
  return *this;
}

SqliteQuery& SqliteQuery::BindBlob(int index, const std::string& bytes) {
  if (sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db_));
  }
  return *this;
}

SqliteQuery& SqliteQuery::BindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
  return *this;
}

bool SqliteQuery::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw std::runtime_error(std::string("query failed: ") + sqlite3_errmsg(db_));
}

std::string SqliteQuery::Text(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

}  // namespace collector
