#include "db/sql_statement.h"

#include <sqlite3.h>

#include <functional>

namespace Vextra {
namespace {

// Owns one prepared statement; finalises it on every path out.
class PreparedStatement {
 public:
  PreparedStatement(sqlite3* db, const std::string& sql) {
    if (db == nullptr) return;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt_);
      stmt_ = nullptr;
    }
  }
  ~PreparedStatement() { sqlite3_finalize(stmt_); }
  PreparedStatement(const PreparedStatement&) = delete;
  PreparedStatement& operator=(const PreparedStatement&) = delete;

  // False when preparation failed or the values do not match the parameters.
  bool Bind(const SqlValues& values) {
    if (stmt_ == nullptr || sqlite3_bind_parameter_count(stmt_) != static_cast<int>(values.size())) {
      return false;
    }
    for (size_t i = 0; i < values.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      int rc;
      if (const auto* number = std::get_if<int64_t>(&values[i])) {
        rc = sqlite3_bind_int64(stmt_, index, *number);
      } else {
        const auto& text = std::get<std::string>(values[i]);
        rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      }
      if (rc != SQLITE_OK) return false;
    }
    return true;
  }

  // Steps to the end, handing each row to on_row. True when the statement completed.
  bool StepAll(const std::function<void(sqlite3_stmt*)>& on_row) {
    for (;;) {
      const int rc = sqlite3_step(stmt_);
      if (rc == SQLITE_DONE) return true;
      if (rc != SQLITE_ROW) return false;
      if (on_row) on_row(stmt_);
    }
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  if (text == nullptr) return {};
  return std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

bool Run(sqlite3* db, const std::string& sql, const SqlValues& values,
         const std::function<void(sqlite3_stmt*)>& on_row) {
  PreparedStatement statement(db, sql);
  return statement.Bind(values) && statement.StepAll(on_row);
}

}  // namespace

bool StatementBeginsWith(const std::string& sql, const char* keyword) {
  return sql.find(keyword) == 0;
}

bool RunStatement(sqlite3* db, const std::string& sql, const SqlValues& values) {
  return Run(db, sql, values, nullptr);
}

bool RunQueryCells(sqlite3* db, const std::string& sql, const SqlValues& values,
                   std::vector<std::string>* cells) {
  return Run(db, sql, values, [cells](sqlite3_stmt* stmt) {
    const int columns = sqlite3_column_count(stmt);
    for (int c = 0; c < columns; ++c) cells->push_back(ColumnText(stmt, c));
  });
}

bool RunQueryPairs(sqlite3* db, const std::string& sql, const SqlValues& values,
                   std::map<std::string, std::string>* pairs) {
  return Run(db, sql, values, [pairs](sqlite3_stmt* stmt) {
    if (sqlite3_column_count(stmt) < 2) return;
    (*pairs)[ColumnText(stmt, 0)] = ColumnText(stmt, 1);
  });
}

}  // namespace Vextra
