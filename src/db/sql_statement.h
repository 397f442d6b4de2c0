#pragma once
// Running one SQL statement over the record database's connection, with every
// value bound as a parameter so that no value can change the statement's text.

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;

namespace Vextra {

// The value for one "?" of a statement: an integer, or a text bound byte for byte.
using SqlValue = std::variant<int64_t, std::string>;
using SqlValues = std::vector<SqlValue>;

// True when the first occurrence of keyword in sql is at its first character.
bool StatementBeginsWith(const std::string& sql, const char* keyword);

// Prepares sql, binds values to its parameters in order and steps it to the
// end; result rows are dropped. False on any error. db may be shared by
// several threads: the connection must be in serialized mode.
bool RunStatement(sqlite3* db, const std::string& sql, const SqlValues& values);

// Like RunStatement, and appends every result cell as text to cells, row by row
// and column by column (a NULL cell as the empty text). False on any error;
// cells then holds what was read before it.
bool RunQueryCells(sqlite3* db, const std::string& sql, const SqlValues& values,
                   std::vector<std::string>* cells);

// Like RunStatement, and stores each row's column 1 under its column 0 in pairs.
bool RunQueryPairs(sqlite3* db, const std::string& sql, const SqlValues& values,
                   std::map<std::string, std::string>* pairs);

}  // namespace Vextra
