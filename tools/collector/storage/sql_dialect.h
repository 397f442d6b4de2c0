#pragma once
// What differs between the collector's two databases, as plain text rules.

#include <memory>
#include <string>

#include "collector/storage/database.h"

namespace collector {

// The statement with "?" and "?N" parameters written as PostgreSQL's "$N"
// (a bare "?" takes the number after the highest one so far, as in SQLite).
// Quoted texts and names are left as they are.
std::string PostgresParameters(const std::string& sql);

// The schema's spelling of a column name the server folded to lower case
// ("expname" -> "expName"); other names as given.
std::string SchemaColumnName(const std::string& folded);

// The backends' openers (OpenConnection chooses by the location).
std::unique_ptr<Connection> OpenSqliteConnection(const std::string& path, bool readOnly);
std::unique_ptr<Connection> OpenPostgresConnection(const std::string& uri);

}  // namespace collector
