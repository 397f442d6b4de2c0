#include "collector/storage/sql_dialect.h"

#include <cctype>
#include <map>
#include <regex>

#include "collector/request_schema.h"

namespace collector {

bool IsPostgresLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::string DisplayLocation(const std::string& location) {
  if (!IsPostgresLocation(location)) return location;
  const size_t scheme = location.find("://") + 3;
  const size_t at = location.find('@', scheme);
  const size_t colon = location.find(':', scheme);
  if (at == std::string::npos || colon == std::string::npos || colon > at) return location;
  return location.substr(0, colon + 1) + "***" + location.substr(at);
}

std::unique_ptr<Connection> OpenConnection(const std::string& location, bool readOnly) {
  if (IsPostgresLocation(location)) return OpenPostgresConnection(location);
  return OpenSqliteConnection(location, readOnly);
}

std::string PostgresParameters(const std::string& sql) {
  std::string out;
  out.reserve(sql.size() + 16);
  int highest = 0;
  char quote = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote != 0) {
      out += c;
      if (c == quote) quote = 0;  // a doubled quote closes and reopens: same text
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      out += c;
      continue;
    }
    if (c != '?') {
      out += c;
      continue;
    }
    size_t end = i + 1;
    while (end < sql.size() && std::isdigit(static_cast<unsigned char>(sql[end]))) ++end;
    int number = end > i + 1 ? std::stoi(sql.substr(i + 1, end - i - 1)) : highest + 1;
    if (number > highest) highest = number;
    out += "$" + std::to_string(number);
    i = end - 1;
  }
  return out;
}

namespace {

const std::map<std::string, std::string>& FoldedNames() {
  static const std::map<std::string, std::string> names = [] {
    std::map<std::string, std::string> map;
    const std::string schema = kSchemaSql;
    const std::regex word("[A-Za-z_][A-Za-z0-9_]*");
    for (auto it = std::sregex_iterator(schema.begin(), schema.end(), word); it != std::sregex_iterator(); ++it) {
      std::string name = it->str();
      std::string lower = name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower != name && name.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
        map.emplace(lower, name);
      }
    }
    return map;
  }();
  return names;
}

// Types and ids of the schema as PostgreSQL spells them; tables read in
// insertion order get the "rowid" column SQLite gives every table.
std::string PostgresSchema() {
  std::string schema = kSchemaSql;
  schema = std::regex_replace(schema, std::regex("\\bINTEGER PRIMARY KEY\\b"), "BIGSERIAL PRIMARY KEY");
  schema = std::regex_replace(schema, std::regex("\\bINTEGER\\b"), "BIGINT");
  schema = std::regex_replace(schema, std::regex("\\bBLOB\\b"), "BYTEA");
  for (const char* table : kTablesReadByRowid) {
    const std::string head = std::string("CREATE TABLE IF NOT EXISTS ") + table + " (";
    const size_t at = schema.find(head);
    if (at != std::string::npos) schema.insert(at + head.size(), "rowid BIGSERIAL, ");
  }
  // Two collectors starting at once must not both create the same table.
  return "BEGIN; SELECT pg_advisory_xact_lock(4242020); " + schema + " COMMIT;";
}

}  // namespace

std::string SchemaColumnName(const std::string& folded) {
  const auto& names = FoldedNames();
  const auto it = names.find(folded);
  return it == names.end() ? folded : it->second;
}

std::string SchemaSql(Backend backend) {
  if (backend == Backend::kSqlite) return kSchemaSql;
  static const std::string postgres = PostgresSchema();
  return postgres;
}

}  // namespace collector
