#include "collector/request_store.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <stdexcept>
#include <variant>

#include "collector/request_schema.h"

namespace collector {
namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

struct Blob {
  std::string bytes;
};
using Value = std::variant<std::nullptr_t, int64_t, std::string, Blob>;
using Row = std::vector<std::pair<std::string, Value>>;

// Every singular scalar, string or bytes field of the message, named exactly
// as in the schema file. Message and map fields are left to the caller.
void AppendScalarFields(const Message& message, Row* row) {
  const auto* descriptor = message.GetDescriptor();
  const auto* reflection = message.GetReflection();
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const FieldDescriptor* field = descriptor->field(i);
    if (field->is_repeated()) continue;
    Value value;
    switch (field->cpp_type()) {
      case FieldDescriptor::CPPTYPE_INT32: value = int64_t{reflection->GetInt32(message, field)}; break;
      case FieldDescriptor::CPPTYPE_INT64: value = int64_t{reflection->GetInt64(message, field)}; break;
      case FieldDescriptor::CPPTYPE_UINT32: value = int64_t{reflection->GetUInt32(message, field)}; break;
      case FieldDescriptor::CPPTYPE_UINT64:
        value = static_cast<int64_t>(reflection->GetUInt64(message, field));
        break;
      case FieldDescriptor::CPPTYPE_BOOL: value = int64_t{reflection->GetBool(message, field) ? 1 : 0}; break;
      case FieldDescriptor::CPPTYPE_STRING:
        if (field->type() == FieldDescriptor::TYPE_BYTES) {
          value = Blob{reflection->GetString(message, field)};
        } else {
          value = reflection->GetString(message, field);
        }
        break;
      default:
        continue;  // sub-messages
    }
    row->emplace_back(field->name(), std::move(value));
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("cannot prepare '") + sql + "': " + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void Bind(int index, const Value& value) {
    int rc = SQLITE_OK;
    if (std::holds_alternative<int64_t>(value)) {
      rc = sqlite3_bind_int64(stmt_, index, std::get<int64_t>(value));
    } else if (std::holds_alternative<std::string>(value)) {
      const std::string& text = std::get<std::string>(value);
      rc = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (std::holds_alternative<Blob>(value)) {
      const std::string& bytes = std::get<Blob>(value).bytes;
      rc = sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    } else {
      rc = sqlite3_bind_null(stmt_, index);
    }
    if (rc != SQLITE_OK) throw std::runtime_error(std::string("cannot bind: ") + sqlite3_errmsg(db_));
  }

  void Run() {
    if (sqlite3_step(stmt_) != SQLITE_DONE) {
      throw std::runtime_error(std::string("cannot store: ") + sqlite3_errmsg(db_));
    }
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw std::runtime_error(std::string("'") + sql + "' failed: " + text);
  }
}

int64_t InsertRow(sqlite3* db, const std::string& table, const Row& row) {
  std::string names;
  std::string marks;
  for (const auto& column : row) {
    if (!names.empty()) {
      names += ", ";
      marks += ", ";
    }
    names += "\"" + column.first + "\"";
    marks += "?";
  }
  Statement statement(db, "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")");
  for (size_t i = 0; i < row.size(); ++i) statement.Bind(static_cast<int>(i + 1), row[i].second);
  statement.Run();
  return sqlite3_last_insert_rowid(db);
}

void InsertMap(sqlite3* db, const char* owner, int64_t ownerId, const char* mapName,
               const google::protobuf::Map<std::string, std::string>& map) {
  for (const auto& entry : map) {
    InsertRow(db, "map_entries",
              {{"owner", std::string(owner)},
               {"owner_id", ownerId},
               {"map", std::string(mapName)},
               {"key", entry.first},
               {"value", entry.second}});
  }
}

void InsertReport(sqlite3* db, int64_t requestId, const DecodedReport& report) {
  Row row{{"request_id", requestId}};
  AppendScalarFields(report.upload, &row);
  const int64_t reportId = InsertRow(db, "reports", row);
  InsertMap(db, "report", reportId, "allStacks", report.upload.allstacks());
  InsertMap(db, "report", reportId, "valueMap", report.upload.valuemap());
  InsertMap(db, "report", reportId, "userMap", report.upload.usermap());
  for (const DecodedAttachment& attachment : report.attachments) {
    InsertRow(db, "attachments",
              {{"report_id", reportId},
               {"type", int64_t{attachment.type}},
               {"fileName", attachment.fileName},
               {"size", static_cast<int64_t>(attachment.data.size())},
               {"data", Blob{attachment.data}},
               {"inflated", int64_t{attachment.inflated ? 1 : 0}},
               {"content", Blob{attachment.content}},
               {"error", attachment.error}});
  }
}

void InsertUserInfo(sqlite3* db, int64_t requestId, const VextraPkg::UserInfoPackage& userInfo) {
  Row row{{"request_id", requestId}};
  AppendScalarFields(userInfo, &row);
  const int64_t userInfoId = InsertRow(db, "user_infos", row);
  InsertMap(db, "user_info", userInfoId, "valueMap", userInfo.valuemap());
  for (const VextraPkg::SummaryInfo& summary : userInfo.list()) {
    Row summaryRow{{"user_info_id", userInfoId}};
    AppendScalarFields(summary, &summaryRow);
    const int64_t summaryId = InsertRow(db, "summaries", summaryRow);
    InsertMap(db, "summary", summaryId, "valueMap", summary.valuemap());
  }
}

}  // namespace

RequestStore::RequestStore(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open database '" + path + "': " + message);
  }
  try {
    sqlite3_busy_timeout(db_, 10000);
    Exec(db_, "PRAGMA journal_mode=WAL;");
    Exec(db_, kSchemaSql);
  } catch (const std::exception& error) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("database '" + path + "': " + error.what());
  }
}

RequestStore::~RequestStore() { sqlite3_close(db_); }

int64_t RequestStore::Store(const ReceivedRequest& received, const DecodedRequest& decoded,
                            const Answer& answer, const std::string& answerText) {
  std::lock_guard<std::mutex> lock(mutex_);
  Exec(db_, "BEGIN IMMEDIATE;");
  try {
    Row row{{"received_at", received.receivedAt},
            {"remote_addr", received.remoteAddr},
            {"method", received.method},
            {"path", received.path},
            {"body_size", static_cast<int64_t>(received.body.size())},
            {"body", Blob{received.body}},
            {"decoded", int64_t{decoded.decoded ? 1 : 0}},
            {"decode_error", decoded.error},
            {"answer_status", answer.drop ? Value{nullptr} : Value{int64_t{answer.httpStatus}}},
            {"answer", answerText}};
    const bool envelopeRead = decoded.packet.has_request();
    if (envelopeRead) {
      AppendScalarFields(decoded.packet, &row);
      AppendScalarFields(decoded.packet.request(), &row);
    }
    const int64_t requestId = InsertRow(db_, "requests", row);
    for (const auto& header : received.headers) {
      InsertRow(db_, "request_headers", {{"request_id", requestId}, {"name", header.first}, {"value", header.second}});
    }
    if (envelopeRead) {
      InsertMap(db_, "request", requestId, "reserved", decoded.packet.request().reserved());
      InsertMap(db_, "request", requestId, "headers", decoded.packet.request().headers());
    }
    for (const DecodedReport& report : decoded.reports) InsertReport(db_, requestId, report);
    if (decoded.hasUserInfo) InsertUserInfo(db_, requestId, decoded.userInfo);
    Exec(db_, "COMMIT;");
    return requestId;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace collector
