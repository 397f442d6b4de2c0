#pragma once
// The record database: one SQLite file "vextra_data_db" in the data directory
// holding a record per report written to disk (T_CRASH_RECORD), the previous
// run's session id (T_LOCAL_RECORD) and the last remote strategy (T_STRATEGY).

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/base_singleton.h"
#include "db/sql_statement.h"
#include "log/owner_lock.h"

struct sqlite3;

namespace Vextra {

// Seconds since the epoch; the clock every stored time comes from.
using DbClock = std::function<int64_t()>;
int64_t DbCurrentTime();

// Threads: every operation may run on any thread, crashing threads included.
// The one connection is guarded by the manager's own lock, held for one whole
// statement (prepare, steps, finalize), which makes each statement atomic;
// operations of several statements are not transactions. The record
// operations can be told how long to wait for that lock, so a report on a
// crashing thread is not held up by a thread that stopped or died inside a
// statement; the lock is never taken twice by one thread.
// Failures: when the file could not be opened every operation returns its
// failure value at once (false, -1, an empty text or an empty map); a file
// that is not a database makes every statement fail the same way. Nothing is
// logged and no exception leaves an operation.
class DbManager : public BaseSingleton<DbManager> {
 public:
  // A wait for the connection without bound: every operation but the record
  // operations of a crash report.
  static constexpr uint32_t kWaitUnbounded = UINT32_MAX;

  // The process's database: "vextra_data_db" in CommonInfo's data directory
  // (the workspace's "vextra_data" when that is not set yet). Create the
  // instance only after the data directory exists: a failed open is never retried.
  DbManager();
  // Opens (creating if missing) the database file at db_file and prepares the
  // three tables; clock supplies every stored time. Used by tests and tools.
  explicit DbManager(const std::wstring& db_file, DbClock clock = DbCurrentTime);
  // Closes the connection. Only for instances of its own (tests, tools).
  ~DbManager() override;

  // The process's database. Never destroyed, so its connection stays open
  // until the process ends: report, upload and crashing threads may still be
  // inside a statement while the process exits (every statement is committed
  // when it returns, so nothing is lost by not closing).
  static DbManager& Instance();
  // The same database, or null when it is still being opened by another
  // thread after wait_ms (a thread that stopped while opening it holds the
  // others up for good).
  // crash path: takes no lock once the database exists; before, waits at most
  // wait_ms for another thread that is opening it.
  static DbManager* InstanceWithin(uint32_t wait_ms);

  // data_dir + separator + "vextra_data_db".
  static std::wstring DbFilePath(const std::wstring& data_dir);

  // True while a connection exists (it may still be to a file that is not a database).
  bool IsOpen() const;

  // Records a report body written to path under its GUID, in status 0 with
  // retry count 0, with the MD5 of the file's first 5 MiB. True when the row
  // was stored; false, storing nothing, when another thread kept the
  // connection for wait_ms.
  // crash path (with a bounded wait_ms): waits for the connection at most wait_ms.
  bool InsertCrashRecord(const std::wstring& path, const std::string& guid, bool uploadable,
                         uint32_t wait_ms = kWaitUnbounded);
  // Sets status on every record of path (stored as UTF-8 or, by an earlier
  // run, in the ANSI code page) and stamps the status time; every status but
  // 1 and 3 also adds one to the retry count. True when the statements ran
  // (also when no record has that path); false when another thread kept the
  // connection for wait_ms.
  // crash path (with a bounded wait_ms): waits for the connection at most wait_ms per form of the path (two at most).
  bool UpdateCrashStatus(const std::wstring& path, int32_t status, uint32_t wait_ms = kWaitUnbounded);
  // Replaces *paths with the paths of records in status 2 whose retry count is
  // at most 3, oldest record first. False when the query failed.
  bool SelectFailedPaths(std::vector<std::wstring>* paths);
  // Replaces *paths with the paths of guid's records in status 0 whose retry
  // count is at most 3 (reports withheld while crash uploads were off).
  bool SelectPathsByGuid(std::vector<std::wstring>* paths, const std::string& guid);
  // Replaces *paths with the paths of uploadable records still in status 0
  // whose retry count is at most 3, oldest first: bodies whose process ended
  // before their answer arrived. Only meaningful before this process records
  // reports of its own. False when the query failed.
  bool SelectInterruptedPaths(std::vector<std::wstring>* paths);
  // Replaces *paths with the path of every record. False when the query failed.
  bool SelectAllPaths(std::vector<std::wstring>* paths);
  // Deletes sent records older than 7 days and every record older than
  // 30 days. Data files are not touched here: *released (when given) is
  // replaced with the paths of the deleted records that no remaining record
  // names, whose files the caller removes. True when every deletion ran.
  bool CleanupCrashRecords(std::vector<std::wstring>* released = nullptr);

  // Now on the clock every stored time comes from.
  int64_t Now() const { return clock_(); }

  // DB_VERSION of T_LOCAL_RECORD's first row; -1 when there is none or it is
  // not a decimal number.
  int32_t GetDbVersion();
  // LAST_SESSION_ID of row 1; the empty text when there is none.
  std::string GetLastSessionId();
  // Stores session_id as row 1's LAST_SESSION_ID, with DB_VERSION 1 when the
  // row is new. row_exists is the caller's belief from GetLastSessionId; the
  // row is written correctly whichever way it points.
  bool SetLastSessionId(const std::string& session_id, bool row_exists);

  // Replaces the stored strategy: deletes every pair, then inserts the pairs in
  // key order. At the first failing insert returns false; pairs stored so far
  // stay. When the delete fails, returns false and the old strategy stays whole.
  bool SaveStrategy(const std::map<std::string, std::string>& strategy);
  // The stored strategy; empty when none or on failure.
  std::map<std::string, std::string> LoadStrategy();

  // Tests only: runs body while the calling thread holds the connection.
  template <typename Body>
  void HoldConnectionForTesting(Body&& body) {
    OwnerLockGuard lock(connection_lock_);
    body();
  }

 private:
  // Runs one statement over the connection under connection_lock_, waiting at
  // most wait_ms; false without running it when the wait ran out or the
  // calling thread already holds the lock (it faulted inside a statement).
  template <typename Body>
  bool WithConnection(uint32_t wait_ms, Body&& body);

  void PrepareTables();

  // Statement helpers: each refuses a statement not of its kind.
  bool ExecCreate(const std::string& sql);                          // "CREATE TABLE ..."
  bool ExecInsert(const std::string& sql, const SqlValues& values,
                  uint32_t wait_ms = kWaitUnbounded);  // "INSERT INTO ..."
  bool ExecUpdate(const std::string& sql, const SqlValues& values,
                  uint32_t wait_ms = kWaitUnbounded);  // "UPDATE ..."
  bool ExecDrop(const std::string& sql);                            // "DROP TABLE ..."
  bool ExecOther(const std::string& sql, const SqlValues& values);   // no "CREATE TABLE" anywhere
  bool QueryCells(const std::string& sql, const SqlValues& values, std::vector<std::string>* cells);
  bool QueryPairs(const std::string& sql, const SqlValues& values, std::map<std::string, std::string>* pairs);
  bool SelectPaths(const std::string& sql, const SqlValues& values, std::vector<std::wstring>* paths);

  std::atomic<sqlite3*> db_{nullptr};  // null when opening failed, and after destruction
  // Guards every use of the connection, which SQLite does not guard itself
  // (opened without its own mutex, whose wait cannot be bounded).
  OwnerLock connection_lock_;
  const DbClock clock_;
  // The directory of the database file, where every data file it records lives.
  const std::wstring data_dir_;
  // Serialises SaveStrategy and LoadStrategy against each other so a reader
  // or a second writer never sees half a strategy. Held alone; never on a
  // crashing thread.
  std::mutex strategy_mutex_;
};

}  // namespace Vextra
