#pragma once
// The collector's one way to its database, SQLite or PostgreSQL: a
// connection and statements that bind every value and read columns by index.
// Statements are written once in the SQL both accept: "?" or "?N" for
// parameters (numbered from 1), "INSERT ... RETURNING id", "ON CONFLICT ...
// DO NOTHING / DO UPDATE"; each backend translates what it must. Errors throw
// DatabaseError with the database's message.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace collector {

enum class Backend { kSqlite, kPostgres };
enum class ColumnType { kNull, kInteger, kText, kBlob };

// unavailable: the database could not be reached or the connection broke
// (the same statement may succeed once it is back), as opposed to a statement
// the database refused.
class DatabaseError : public std::runtime_error {
 public:
  DatabaseError(const std::string& message, bool unavailable)
      : std::runtime_error(message), unavailable_(unavailable) {}
  bool unavailable() const { return unavailable_; }

 private:
  bool unavailable_;
};

// True for "postgresql://..." and "postgres://..." locations; anything else
// names an SQLite file.
bool IsPostgresLocation(const std::string& location);
// The location as it may be printed: a URI's password replaced by "***".
std::string DisplayLocation(const std::string& location);

// One prepared statement of a backend. Parameters count from 1.
class StatementImpl {
 public:
  virtual ~StatementImpl() = default;
  virtual void BindInt(int index, int64_t value) = 0;
  virtual void BindText(int index, const std::string& value) = 0;
  virtual void BindBlob(int index, const std::string& bytes) = 0;
  virtual void BindNull(int index) = 0;
  virtual bool Step() = 0;
  virtual void Reset() = 0;
  virtual int Columns() const = 0;
  virtual std::string Name(int column) const = 0;
  virtual ColumnType Type(int column) const = 0;
  virtual int64_t Int(int column) const = 0;
  virtual std::string Text(int column) const = 0;
};

// One connection of a backend; used by one thread at a time.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual Backend backend() const = 0;
  // Runs one or more statements without parameters or rows.
  virtual void Exec(const std::string& sql) = 0;
  virtual std::unique_ptr<StatementImpl> Prepare(const std::string& sql) = 0;
  // Rows changed by the last statement that ran.
  virtual int64_t Changes() const = 0;
  // Starts a transaction that writes (SQLite takes its write lock at once).
  virtual void Begin() = 0;
};

// Opens the location: an SQLite file (made when missing unless readOnly) or a
// PostgreSQL URI. A PostgreSQL connection that breaks reconnects on its next
// statement.
std::unique_ptr<Connection> OpenConnection(const std::string& location, bool readOnly = false);

// The SQL that creates every missing table and index of the collector for
// the backend (types per backend: INTEGER/BIGINT, BLOB/BYTEA, ids).
std::string SchemaSql(Backend backend);

// A connection handle: the collector's code takes this and Query.
class Database {
 public:
  explicit Database(const std::string& location, bool readOnly = false)
      : connection_(OpenConnection(location, readOnly)) {}
  explicit Database(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}

  Backend backend() const { return connection_->backend(); }
  Connection& connection() const { return *connection_; }
  void Exec(const std::string& sql) { connection_->Exec(sql); }
  int64_t Changes() const { return connection_->Changes(); }
  // Creates every missing table and index.
  void CreateSchema() { connection_->Exec(SchemaSql(backend())); }

 private:
  std::unique_ptr<Connection> connection_;
};

class Query {
 public:
  Query(const Database& db, const std::string& sql) : impl_(db.connection().Prepare(sql)) {}

  Query& Bind(int index, int64_t value) {
    impl_->BindInt(index, value);
    return *this;
  }
  Query& Bind(int index, const std::string& value) {
    impl_->BindText(index, value);
    return *this;
  }
  Query& BindBlob(int index, const std::string& bytes) {
    impl_->BindBlob(index, bytes);
    return *this;
  }
  Query& BindNull(int index) {
    impl_->BindNull(index);
    return *this;
  }
  // True while a row is there; throws on an error.
  bool Step() { return impl_->Step(); }
  // Runs a statement that returns no rows (or ignores them).
  void Run() {
    while (Step()) {
    }
  }
  // Ready to run again; bindings are cleared.
  void Reset() { impl_->Reset(); }

  int Columns() const { return impl_->Columns(); }
  std::string Name(int column) const { return impl_->Name(column); }
  ColumnType Type(int column) const { return impl_->Type(column); }
  bool IsNull(int column) const { return impl_->Type(column) == ColumnType::kNull; }
  int64_t Int(int column) const { return impl_->Int(column); }
  std::string Text(int column) const { return impl_->Text(column); }  // also a BLOB's bytes; empty for NULL

 private:
  std::unique_ptr<StatementImpl> impl_;
};

// Begins a write transaction, and rolls back unless Commit was called.
class Transaction {
 public:
  explicit Transaction(Database& db) : db_(db) { db_.connection().Begin(); }
  ~Transaction() {
    if (done_) return;
    try {
      db_.Exec("ROLLBACK");
    } catch (...) {
      // A broken connection has no transaction left to end.
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    db_.Exec("COMMIT");
    done_ = true;
  }

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace collector
