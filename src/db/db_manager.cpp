#include "db/db_manager.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/common_info.h"
#include "core/protocol_names.h"
#include "db/record_digest.h"
#include "db/record_rules.h"
#include "db/stored_path.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace Vextra {
namespace {

constexpr wchar_t kDbFileName[] = L"vextra_data_db";
// How long a statement waits for another process that holds the file (two
// hosts sharing one workspace) before it fails.
constexpr int kBusyTimeoutMs = 2000;

constexpr char kCreateLocalRecord[] =
    "CREATE TABLE IF NOT EXISTS T_LOCAL_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, DB_VERSION INTEGER, "
    "LAST_SESSION_ID TEXT);";
constexpr char kCreateCrashRecord[] =
    "CREATE TABLE IF NOT EXISTS T_CRASH_RECORD (ID INTEGER PRIMARY KEY, TIME INTEGER, MD5 TEXT, PATH TEXT,"
    "GUID TEXT, STATUS INTEGER, STATUS_TIME INTEGER,RETRY_COUNT INTEGER, UPLOADABLE INTEGER);";
constexpr char kCreateStrategy[] = "CREATE TABLE IF NOT EXISTS T_STRATEGY (KEY TEXT PRIMARY KEY, VALUE TEXT);";

// Runs body, turning any exception into the failure value: no exception may
// reach the host from the database.
template <typename Result, typename Body>
Result Quietly(Result on_failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return on_failure;
  }
}

sqlite3* OpenConnection(const std::wstring& db_file) {
  if (db_file.empty()) return nullptr;
  sqlite3* db = nullptr;
  // No connection mutex of SQLite's: DbManager's own lock guards each statement.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(platform::WideToUtf8(db_file).c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // A write-ahead log, synced at checkpoints: each record statement appends
  // to one file instead of creating, syncing and deleting a journal, which
  // cost more than the HTTPS exchange per report. A committed statement still
  // survives the process being killed; only a system crash can lose the last
  // few. A file that cannot take the mode keeps its own.
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  return db;
}

// The directory part of path; empty when it has none.
std::wstring DirectoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"/\\");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring ProcessDbFilePath() {
  CommonInfo& info = CommonInfo::Instance();
  std::wstring data_dir = info.GetDataDir();
  if (data_dir.empty()) {
    const std::wstring workspace = info.GetWorkspace();
    if (workspace.empty()) return {};
    data_dir = JoinWithSlash(workspace, kDataDirName);
  }
  return DbManager::DbFilePath(data_dir);
}

}  // namespace

int64_t DbCurrentTime() { return static_cast<int64_t>(std::time(nullptr)); }

DbManager::DbManager() : DbManager(Quietly(std::wstring(), ProcessDbFilePath)) {}

DbManager::DbManager(const std::wstring& db_file, DbClock clock)
    : clock_(clock ? std::move(clock) : DbClock(DbCurrentTime)),
      data_dir_(DirectoryOf(db_file)) {
  db_.store(Quietly<sqlite3*>(nullptr, [&] { return OpenConnection(db_file); }));
  Quietly(0, [this] {
    PrepareTables();
    return 0;
  });
}

DbManager::~DbManager() {
  OwnerLockGuard lock(connection_lock_);
  sqlite3_close_v2(db_.exchange(nullptr));
}

namespace {

// The process's database, made once and never destroyed. Made under a lock of
// its own rather than a function-local static, whose wait cannot be bounded.
std::atomic<DbManager*> g_instance{nullptr};
OwnerLock g_instance_lock;

// Makes the process's database when nobody has; null when lock could not be had.
DbManager* MakeInstance(OwnerLockGuard& lock) {
  if (!lock.Acquired()) return g_instance.load(std::memory_order_acquire);
  DbManager* manager = g_instance.load(std::memory_order_acquire);
  if (manager == nullptr) {
    manager = new DbManager();
    g_instance.store(manager, std::memory_order_release);
  }
  return manager;
}

}  // namespace

DbManager& DbManager::Instance() {
  if (DbManager* manager = g_instance.load(std::memory_order_acquire)) return *manager;
  OwnerLockGuard lock(g_instance_lock);
  return *MakeInstance(lock);
}

DbManager* DbManager::InstanceWithin(uint32_t wait_ms) {
  if (DbManager* manager = g_instance.load(std::memory_order_acquire)) return manager;
  try {
    OwnerLockGuard lock(g_instance_lock, wait_ms);
    return MakeInstance(lock);
  } catch (...) {
    return nullptr;  // out of memory
  }
}

template <typename Body>
bool DbManager::WithConnection(uint32_t wait_ms, Body&& body) {
  sqlite3* db = db_.load();
  if (db == nullptr) return false;
  const OwnerLock::Outcome outcome =
      wait_ms == kWaitUnbounded ? connection_lock_.Lock() : connection_lock_.TryLockFor(wait_ms);
  if (outcome != OwnerLock::Outcome::kAcquired) return false;
  struct Release {
    OwnerLock& lock;
    ~Release() { lock.Unlock(); }
  } release{connection_lock_};
  return body(db);
}

std::wstring DbManager::DbFilePath(const std::wstring& data_dir) {
  return data_dir + platform::kPathSeparator + kDbFileName;
}

bool DbManager::IsOpen() const { return db_.load() != nullptr; }

void DbManager::PrepareTables() {
  bool local_ready = false;
  if (!IsOpen()) {
    std::printf("dbMgrPtr is nullptr\n");
  } else {
    // A missing or foreign T_LOCAL_RECORD is made anew; the drop of a missing table fails harmlessly.
    if (GetDbVersion() != kDbVersion) ExecDrop("DROP TABLE T_LOCAL_RECORD");
    local_ready = ExecCreate(kCreateLocalRecord);
  }
  if (!local_ready) std::printf("Failed to create table LocalInfoTable\n");
  if (!ExecCreate(kCreateCrashRecord)) std::printf("Failed to create table T_CRASH_RECORD\n");
  if (!ExecCreate(kCreateStrategy)) std::printf("Failed to create table T_STRATEGY\n");
  std::fflush(stdout);
}

bool DbManager::InsertCrashRecord(const std::wstring& path, const std::string& guid, bool uploadable,
                                  uint32_t wait_ms) {
  if (!IsOpen()) return false;
  return Quietly(false, [&] {
    const std::string md5 = CrashRecordDigest(path);
    const int64_t status_time = clock_();
    const int64_t time = clock_();
    return ExecInsert("INSERT INTO T_CRASH_RECORD VALUES(null,?,?,?,?,?,?,?,?);",
                      {time, md5, StoredPathText(path), guid, int64_t{kStatusRecorded}, status_time,
                       int64_t{0}, int64_t{uploadable ? 1 : 0}},
                      wait_ms);
  });
}

bool DbManager::UpdateCrashStatus(const std::wstring& path, int32_t status, uint32_t wait_ms) {
  if (!IsOpen()) return false;
  return Quietly(false, [&] {
    const char* sql = StatusAddsRetry(status)
                          ? "UPDATE T_CRASH_RECORD SET STATUS = ?, STATUS_TIME =?, RETRY_COUNT=RETRY_COUNT+1 "
                            "WHERE PATH=?;"
                          : "UPDATE T_CRASH_RECORD SET STATUS=?, STATUS_TIME=? WHERE PATH=?;";
    // A record of an earlier run may hold the path in the ANSI code page.
    const int64_t now = clock_();
    bool ran = true;
    for (const std::string& form : StoredPathForms(path)) {
      ran = ExecUpdate(sql, {int64_t{status}, now, form}, wait_ms) && ran;
    }
    return ran;
  });
}

bool DbManager::SelectFailedPaths(std::vector<std::wstring>* paths) {
  return SelectPaths("SELECT PATH FROM T_CRASH_RECORD WHERE status = ? AND retry_count <= ? ORDER BY ID;",
                     {int64_t{kStatusFailed}, int64_t{kMaxRetryCount}}, paths);
}

bool DbManager::SelectInterruptedPaths(std::vector<std::wstring>* paths) {
  return SelectPaths(
      "SELECT PATH FROM T_CRASH_RECORD WHERE status = ? AND uploadable = 1 AND retry_count <= ? ORDER BY ID;",
      {int64_t{kStatusRecorded}, int64_t{kMaxRetryCount}}, paths);
}

bool DbManager::SelectAllPaths(std::vector<std::wstring>* paths) {
  return SelectPaths("SELECT PATH FROM T_CRASH_RECORD ORDER BY ID;", {}, paths);
}

bool DbManager::SelectPathsByGuid(std::vector<std::wstring>* paths, const std::string& guid) {
  return SelectPaths(
      "SELECT PATH FROM T_CRASH_RECORD WHERE guid = ? and status = ? AND retry_count <= ? ORDER BY ID;",
      {guid, int64_t{kStatusRecorded}, int64_t{kMaxRetryCount}}, paths);
}

bool DbManager::SelectPaths(const std::string& sql, const SqlValues& values, std::vector<std::wstring>* paths) {
  if (paths == nullptr) return false;
  paths->clear();
  if (!IsOpen()) return false;
  return Quietly(false, [&] {
    std::vector<std::string> cells;
    if (!QueryCells(sql, values, &cells)) return false;
    for (const std::string& cell : cells) paths->push_back(ReadStoredPath(cell, data_dir_));
    return true;
  });
}

bool DbManager::CleanupCrashRecords(std::vector<std::wstring>* released) {
  if (released != nullptr) released->clear();
  if (!IsOpen()) return false;
  return Quietly(false, [&] {
    const int64_t now = clock_();
    // The rows are listed, then deleted one by one by ID, so exactly the rows
    // whose paths are handed back are gone.
    std::vector<std::string> cells;
    if (!QueryCells("SELECT ID, PATH FROM T_CRASH_RECORD WHERE (STATUS=? AND TIME<?) OR TIME<? ORDER BY ID;",
                    {int64_t{kStatusSent}, now - kSentRecordLifetimeSeconds, now - kAnyRecordLifetimeSeconds},
                    &cells)) {
      return false;
    }
    bool all_deleted = true;
    std::vector<std::string> deleted_paths;
    for (size_t i = 0; i + 1 < cells.size(); i += 2) {
      if (!ExecOther("DELETE FROM T_CRASH_RECORD WHERE ID=?;", {static_cast<int64_t>(std::stoll(cells[i]))})) {
        all_deleted = false;
        continue;
      }
      if (!cells[i + 1].empty()) deleted_paths.push_back(cells[i + 1]);
    }
    if (released == nullptr) return all_deleted;
    for (const std::string& path : deleted_paths) {
      // A file another record still names stays for that record.
      std::vector<std::string> left;
      if (!QueryCells("SELECT count(*) FROM T_CRASH_RECORD WHERE PATH=?;", {path}, &left) || left.empty() ||
          left.front() != "0") {
        continue;
      }
      const std::wstring wide = ReadStoredPath(path, data_dir_);
      if (std::find(released->begin(), released->end(), wide) == released->end()) released->push_back(wide);
    }
    return all_deleted;
  });
}

int32_t DbManager::GetDbVersion() {
  if (!IsOpen()) return -1;
  return Quietly(-1, [&] {
    std::vector<std::string> cells;
    if (!QueryCells("SELECT DB_VERSION FROM T_LOCAL_RECORD LIMIT 1 ;", {}, &cells) || cells.empty()) return -1;
    return ParseDbVersion(cells.front().c_str());
  });
}

std::string DbManager::GetLastSessionId() {
  if (!IsOpen()) return {};
  return Quietly(std::string(), [&] {
    std::vector<std::string> cells;
    if (!QueryCells("SELECT LAST_SESSION_ID FROM T_LOCAL_RECORD WHERE ID=?;", {int64_t{1}}, &cells) ||
        cells.empty()) {
      return std::string();
    }
    return cells.front();
  });
}

bool DbManager::SetLastSessionId(const std::string& session_id, bool row_exists) {
  if (!IsOpen()) return false;
  // One statement for both cases: a row the caller thought missing is updated
  // rather than duplicated under a new ID, and one it thought present is
  // inserted rather than silently lost.
  (void)row_exists;
  return Quietly(false, [&] {
    return ExecInsert(
        "INSERT INTO T_LOCAL_RECORD (ID, TIME, DB_VERSION, LAST_SESSION_ID) VALUES(?,?,?,?) "
        "ON CONFLICT(ID) DO UPDATE SET TIME=excluded.TIME, LAST_SESSION_ID=excluded.LAST_SESSION_ID;",
        {int64_t{1}, clock_(), int64_t{kDbVersion}, session_id});
  });
}

bool DbManager::SaveStrategy(const std::map<std::string, std::string>& strategy) {
  if (!IsOpen()) return false;
  return Quietly(false, [&] {
    std::lock_guard<std::mutex> lock(strategy_mutex_);
    // A failed delete would leave old pairs mixed into the new strategy; keep the old one whole.
    if (!ExecOther("DELETE FROM T_STRATEGY;", {})) return false;
    for (const auto& [key, value] : strategy) {
      if (!ExecInsert("INSERT INTO T_STRATEGY (KEY, VALUE) VALUES (?, ?);", {key, value})) return false;
    }
    return true;
  });
}

std::map<std::string, std::string> DbManager::LoadStrategy() {
  using Strategy = std::map<std::string, std::string>;
  if (!IsOpen()) return {};
  return Quietly(Strategy(), [&] {
    std::lock_guard<std::mutex> lock(strategy_mutex_);
    Strategy strategy;
    if (!QueryPairs("SELECT KEY, VALUE FROM T_STRATEGY;", {}, &strategy)) return Strategy();
    return strategy;
  });
}

bool DbManager::ExecCreate(const std::string& sql) {
  return StatementBeginsWith(sql, "CREATE TABLE") &&
         WithConnection(kWaitUnbounded, [&](sqlite3* db) { return RunStatement(db, sql, {}); });
}

bool DbManager::ExecInsert(const std::string& sql, const SqlValues& values, uint32_t wait_ms) {
  return StatementBeginsWith(sql, "INSERT INTO") &&
         WithConnection(wait_ms, [&](sqlite3* db) { return RunStatement(db, sql, values); });
}

bool DbManager::ExecUpdate(const std::string& sql, const SqlValues& values, uint32_t wait_ms) {
  return StatementBeginsWith(sql, "UPDATE") &&
         WithConnection(wait_ms, [&](sqlite3* db) { return RunStatement(db, sql, values); });
}

bool DbManager::ExecDrop(const std::string& sql) {
  return StatementBeginsWith(sql, "DROP TABLE") &&
         WithConnection(kWaitUnbounded, [&](sqlite3* db) { return RunStatement(db, sql, {}); });
}

bool DbManager::ExecOther(const std::string& sql, const SqlValues& values) {
  return sql.find("CREATE TABLE") == std::string::npos &&
         WithConnection(kWaitUnbounded, [&](sqlite3* db) { return RunStatement(db, sql, values); });
}

bool DbManager::QueryCells(const std::string& sql, const SqlValues& values, std::vector<std::string>* cells) {
  return StatementBeginsWith(sql, "SELECT") &&
         WithConnection(kWaitUnbounded, [&](sqlite3* db) { return RunQueryCells(db, sql, values, cells); });
}

bool DbManager::QueryPairs(const std::string& sql, const SqlValues& values,
                           std::map<std::string, std::string>* pairs) {
  return WithConnection(kWaitUnbounded, [&](sqlite3* db) { return RunQueryPairs(db, sql, values, pairs); });
}

}  // namespace Vextra
