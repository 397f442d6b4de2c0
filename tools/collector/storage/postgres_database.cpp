#include <libpq-fe.h>

#include <cstring>
#include <map>
#include <vector>

#include "collector/request_schema.h"
#include "collector/storage/database.h"
#include "collector/storage/sql_dialect.h"

namespace collector {
namespace {

// Type ids of the server's built-in types (pg_type.oid).
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kTextOid = 25;
constexpr Oid kNameOid = 19;
constexpr Oid kCharOid = 1042;
constexpr Oid kVarcharOid = 1043;
constexpr Oid kUnknownOid = 705;

uint64_t ReadBigEndian(const char* bytes, int size) {
  uint64_t value = 0;
  for (int i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

std::string BigEndian64(int64_t value) {
  std::string bytes(8, '\0');
  for (int i = 7; i >= 0; --i) {
    bytes[static_cast<size_t>(i)] = static_cast<char>(static_cast<uint64_t>(value) & 0xff);
    value = static_cast<int64_t>(static_cast<uint64_t>(value) >> 8);
  }
  return bytes;
}

class PostgresConnection;

class PostgresStatement : public StatementImpl {
 public:
  PostgresStatement(PostgresConnection& connection, std::string sql)
      : connection_(connection), sql_(std::move(sql)) {}
  ~PostgresStatement() override { PQclear(result_); }

  void BindInt(int index, int64_t value) override { Set(index, BigEndian64(value), kInt8Oid, false); }
  void BindText(int index, const std::string& value) override { Set(index, value, kTextOid, false); }
  void BindBlob(int index, const std::string& bytes) override { Set(index, bytes, kByteaOid, false); }
  void BindNull(int index) override { Set(index, std::string(), 0, true); }

  bool Step() override;
  void Reset() override {
    PQclear(result_);
    result_ = nullptr;
    row_ = -1;
    values_.clear();
    types_.clear();
    nulls_.clear();
  }

  int Columns() const override { return result_ ? PQnfields(result_) : 0; }
  // Unquoted names are folded to lower case by the server; the collector's
  // columns keep the spelling of the schema.
  std::string Name(int column) const override { return SchemaColumnName(PQfname(result_, column)); }
  ColumnType Type(int column) const override {
    if (PQgetisnull(result_, row_, column)) return ColumnType::kNull;
    switch (PQftype(result_, column)) {
      case kBoolOid:
      case kInt2Oid:
      case kInt4Oid:
      case kInt8Oid: return ColumnType::kInteger;
      case kByteaOid: return ColumnType::kBlob;
      default: return ColumnType::kText;
    }
  }
  int64_t Int(int column) const override {
    if (PQgetisnull(result_, row_, column)) return 0;
    const char* bytes = PQgetvalue(result_, row_, column);
    const int size = PQgetlength(result_, row_, column);
    switch (PQftype(result_, column)) {
      case kBoolOid: return bytes[0] != 0;
      case kInt2Oid: return static_cast<int16_t>(ReadBigEndian(bytes, 2));
      case kInt4Oid: return static_cast<int32_t>(ReadBigEndian(bytes, 4));
      case kInt8Oid: return static_cast<int64_t>(ReadBigEndian(bytes, 8));
      default: return std::strtoll(Text(column).c_str(), nullptr, 10);
    }
  }
  std::string Text(int column) const override {
    if (PQgetisnull(result_, row_, column)) return std::string();
    const char* bytes = PQgetvalue(result_, row_, column);
    const int size = PQgetlength(result_, row_, column);
    switch (PQftype(result_, column)) {
      case kInt2Oid:
      case kInt4Oid:
      case kInt8Oid:
      case kBoolOid: return std::to_string(Int(column));
      case kByteaOid:
      case kTextOid:
      case kNameOid:
      case kCharOid:
      case kVarcharOid:
      case kUnknownOid: return std::string(bytes, static_cast<size_t>(size));
      default:
        // Binary forms of other types (numeric, timestamps) are not read here:
        // the statement casts them to BIGINT or TEXT.
        throw DatabaseError("column " + std::to_string(column) + " has type " +
                                std::to_string(PQftype(result_, column)) + ", not an integer or text",
                            false);
    }
  }

 private:
  void Set(int index, std::string value, Oid type, bool null) {
    if (index < 1) throw DatabaseError("parameter index " + std::to_string(index) + " out of range", false);
    const size_t at = static_cast<size_t>(index - 1);
    if (values_.size() <= at) {
      values_.resize(at + 1);
      types_.resize(at + 1, 0);
      nulls_.resize(at + 1, true);
    }
    values_[at] = std::move(value);
    types_[at] = type;
    nulls_[at] = null;
  }

  PostgresConnection& connection_;
  std::string sql_;  // already in the server's parameter syntax
  std::vector<std::string> values_;
  std::vector<Oid> types_;
  std::vector<bool> nulls_;
  PGresult* result_ = nullptr;
  int row_ = -1;
};

class PostgresConnection : public Connection {
 public:
  explicit PostgresConnection(const std::string& uri) : uri_(uri) { Connect(); }
  ~PostgresConnection() override { PQfinish(conn_); }

  Backend backend() const override { return Backend::kPostgres; }
  void Exec(const std::string& sql) override {
    EnsureConnected();
    PGresult* result = PQexec(conn_, sql.c_str());
    Check(result, "'" + sql.substr(0, 80) + "' failed");
    PQclear(result);
  }
  std::unique_ptr<StatementImpl> Prepare(const std::string& sql) override {
    return std::make_unique<PostgresStatement>(*this, PostgresParameters(sql));
  }
  int64_t Changes() const override { return changes_; }
  void Begin() override { Exec("BEGIN"); }

  // Runs sql with the given binary parameters; the result is the caller's.
  PGresult* Run(const std::string& sql, const std::vector<std::string>& values, const std::vector<Oid>& types,
                const std::vector<bool>& nulls) {
    EnsureConnected();
    std::vector<const char*> pointers(values.size());
    std::vector<int> lengths(values.size());
    std::vector<int> formats(values.size(), 1);
    for (size_t i = 0; i < values.size(); ++i) {
      pointers[i] = nulls[i] ? nullptr : values[i].data();
      lengths[i] = static_cast<int>(values[i].size());
    }
    PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), types.data(),
                                    pointers.data(), lengths.data(), formats.data(), 1);
    Check(result, "query failed");
    const char* tuples = PQcmdTuples(result);
    changes_ = tuples && *tuples ? std::strtoll(tuples, nullptr, 10) : 0;
    return result;
  }

 private:
  void Connect() {
    PQfinish(conn_);
    conn_ = PQconnectdb(uri_.c_str());
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string message = PQerrorMessage(conn_);
      PQfinish(conn_);
      conn_ = nullptr;
      throw DatabaseError("cannot connect to the database: " + Trimmed(message), true);
    }
    // "already exists, skipping" and the like are not the collector's output.
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  }
  // A connection that broke (server restarted, network gone) is made again.
  void EnsureConnected() {
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) Connect();
  }
  void Check(PGresult* result, const std::string& what) {
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    std::string message = result ? PQresultErrorMessage(result) : "";
    if (message.empty()) message = PQerrorMessage(conn_);
    PQclear(result);
    // Class 08 (connection), 57P (shutdown) and 53 (resources) pass; the rest is a refusal.
    const std::string code = state ? state : "";
    const bool unavailable = PQstatus(conn_) != CONNECTION_OK || code.rfind("08", 0) == 0 ||
                             code.rfind("57P", 0) == 0 || code.rfind("53", 0) == 0 || code.empty();
    throw DatabaseError(what + ": " + Trimmed(message), unavailable);
  }
  static std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  std::string uri_;
  PGconn* conn_ = nullptr;
  int64_t changes_ = 0;
};

bool PostgresStatement::Step() {
  if (result_ == nullptr) {
    result_ = connection_.Run(sql_, values_, types_, nulls_);
    row_ = -1;
  }
  ++row_;
  return row_ < PQntuples(result_);
}

}  // namespace

std::unique_ptr<Connection> OpenPostgresConnection(const std::string& uri) {
  return std::make_unique<PostgresConnection>(uri);
}

}  // namespace collector
