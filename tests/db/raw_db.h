#pragma once
// A second, independent connection to a record database file, for tests to
// inspect rows or plant them the way an earlier run would have.

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vextra_test {

class RawDb {
 public:
  explicit RawDb(const std::filesystem::path& file) {
    if (sqlite3_open_v2(file.u8string().c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  ~RawDb() { sqlite3_close(db_); }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  // Runs sql (several statements allowed); false on any error.
  bool Exec(const std::string& sql) {
    return db_ != nullptr && sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }

  // Every cell of the result, row by row, "NULL" for a null cell; empty on error.
  std::vector<std::string> Cells(const std::string& sql) {
    std::vector<std::string> cells;
    sqlite3_stmt* stmt = nullptr;
    if (db_ == nullptr || sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return cells;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        cells.push_back(text ? std::string(text, sqlite3_column_bytes(stmt, c)) : "NULL");
      }
    }
    sqlite3_finalize(stmt);
    return cells;
  }

  // The single cell of a one-row, one-column query, or "" when there is none.
  std::string Cell(const std::string& sql) {
    std::vector<std::string> cells = Cells(sql);
    return cells.empty() ? std::string() : cells.front();
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace vextra_test
