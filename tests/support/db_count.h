#pragma once
// Counting rows in a database file that another process or thread writes:
// the library's record database or the collector's, read through a
// connection of the test's own.

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "db/raw_db.h"

namespace vextra_test {

// The count sql yields in db_file; -1 when the query fails.
inline int CountOf(const std::filesystem::path& db_file, const std::string& sql) {
  RawDb db(db_file);
  const std::string cell = db.Cell(sql);
  return cell.empty() ? -1 : std::stoi(cell);
}

// Polls sql until its count satisfies done or limit has passed; returns the
// last count read, so the caller's assertion shows what was there.
template <typename Done>
int WaitForCountWhere(const std::filesystem::path& db_file, const std::string& sql, Done done,
                      std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int seen = CountOf(db_file, sql);
  while (!done(seen) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seen = CountOf(db_file, sql);
  }
  return seen;
}

// Waits until sql counts at least want (or limit has passed).
inline int WaitForCount(const std::filesystem::path& db_file, const std::string& sql, int want,
                        std::chrono::seconds limit) {
  return WaitForCountWhere(db_file, sql, [want](int seen) { return seen >= want; }, limit);
}

}  // namespace vextra_test
