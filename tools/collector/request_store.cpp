#include "collector/request_store.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <exception>
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

void BindValue(Query& query, int index, const Value& value) {
  if (std::holds_alternative<int64_t>(value)) {
    query.Bind(index, std::get<int64_t>(value));
  } else if (std::holds_alternative<std::string>(value)) {
    query.Bind(index, std::get<std::string>(value));
  } else if (std::holds_alternative<Blob>(value)) {
    query.BindBlob(index, std::get<Blob>(value).bytes);
  } else {
    query.BindNull(index);
  }
}

// "INSERT INTO table (columns) VALUES (...)" plus tail; the id of the row
// when tail returns it, 0 when it returns nothing (a conflict) or has no RETURNING.
int64_t InsertRow(Database& db, const std::string& table, const Row& row, const char* tail = " RETURNING id") {
  std::string names;
  std::string marks;
  for (const auto& column : row) {
    if (!names.empty()) {
      names += ", ";
      marks += ", ";
    }
    names += column.first;
    marks += "?";
  }
  Query statement(db, "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")" + tail);
  for (size_t i = 0; i < row.size(); ++i) BindValue(statement, static_cast<int>(i + 1), row[i].second);
  // Stepped only until done: SQLite would run the statement again.
  if (!statement.Step()) return 0;
  const int64_t id = statement.Int(0);
  statement.Run();
  return id;
}

// Rows of the small tables of one request (headers, map entries,
// attachments), written with one statement per table, not one per row.
struct PendingRows {
  std::vector<std::vector<Value>> headers, maps, attachments;
};

// "INSERT INTO table (columns) VALUES (...), (...)" for every row, in pieces
// that keep under both databases' limit on parameters.
void InsertRows(Database& db, const char* table, const char* columns, size_t width,
                const std::vector<std::vector<Value>>& rows) {
  constexpr size_t kMaxParameters = 30000;
  const size_t perStatement = kMaxParameters / width;
  std::string tuple = "(";
  for (size_t i = 0; i < width; ++i) tuple += i ? ", ?" : "?";
  tuple += ")";
  for (size_t start = 0; start < rows.size(); start += perStatement) {
    const size_t end = std::min(rows.size(), start + perStatement);
    std::string sql = std::string("INSERT INTO ") + table + " (" + columns + ") VALUES ";
    for (size_t r = start; r < end; ++r) sql += (r == start ? "" : ", ") + tuple;
    Query insert(db, sql);
    int index = 1;
    for (size_t r = start; r < end; ++r) {
      for (const Value& value : rows[r]) BindValue(insert, index++, value);
    }
    insert.Run();
  }
}

void AddMap(PendingRows* pending, const char* owner, int64_t ownerId, const char* mapName,
            const google::protobuf::Map<std::string, std::string>& map) {
  for (const auto& entry : map) {
    pending->maps.push_back({std::string(owner), ownerId, std::string(mapName), entry.first, entry.second});
  }
}

void Flush(Database& db, const PendingRows& pending) {
  if (!pending.headers.empty()) InsertRows(db, "request_headers", "request_id, name, value", 3, pending.headers);
  if (!pending.maps.empty()) InsertRows(db, "map_entries", "owner, owner_id, map, key, value", 5, pending.maps);
  if (!pending.attachments.empty()) {
    InsertRows(db, "attachments", "report_id, type, fileName, size, data, inflated, content, error", 8,
               pending.attachments);
  }
}

// False when a report of the same expuid is stored already (then nothing is written).
bool InsertReport(Database& db, int64_t requestId, const DecodedReport& report, PendingRows* pending) {
  Row row{{"request_id", requestId}};
  AppendScalarFields(report.upload, &row);
  const int64_t reportId =
      InsertRow(db, "reports", row, " ON CONFLICT (expuid) WHERE expuid <> '' DO NOTHING RETURNING id");
  if (reportId == 0) return false;
  AddMap(pending, "report", reportId, "allStacks", report.upload.allstacks());
  AddMap(pending, "report", reportId, "valueMap", report.upload.valuemap());
  AddMap(pending, "report", reportId, "userMap", report.upload.usermap());
  for (const DecodedAttachment& attachment : report.attachments) {
    pending->attachments.push_back({reportId, int64_t{attachment.type}, attachment.fileName,
                                    static_cast<int64_t>(attachment.data.size()), Blob{attachment.data},
                                    int64_t{attachment.inflated ? 1 : 0}, Blob{attachment.content}, attachment.error});
  }
  return true;
}

void InsertUserInfo(Database& db, int64_t requestId, const VextraPkg::UserInfoPackage& userInfo,
                    PendingRows* pending) {
  Row row{{"request_id", requestId}};
  AppendScalarFields(userInfo, &row);
  const int64_t userInfoId = InsertRow(db, "user_infos", row);
  AddMap(pending, "user_info", userInfoId, "valueMap", userInfo.valuemap());
  for (const VextraPkg::SummaryInfo& summary : userInfo.list()) {
    Row summaryRow{{"user_info_id", userInfoId}};
    AppendScalarFields(summary, &summaryRow);
    const int64_t summaryId = InsertRow(db, "summaries", summaryRow);
    AddMap(pending, "summary", summaryId, "valueMap", summary.valuemap());
  }
}

}  // namespace

struct RequestStore::Job {
  const ReceivedRequest& received;
  const DecodedRequest& decoded;
  const Answer& answer;
  const std::string& answerText;
  int64_t id = 0;
  std::vector<std::string> repeated;
  std::exception_ptr error;
  bool done = false;
};

RequestStore::RequestStore(const std::string& location) : location_(location) {
  try {
    writer_ = std::make_unique<Database>(location);
    writer_->CreateSchema();
  } catch (const DatabaseError& error) {
    throw DatabaseError("database '" + location + "': " + error.what(), error.unavailable());
  }
}

RequestStore::~RequestStore() = default;

Database& RequestStore::Writer() {
  if (!writer_) writer_ = std::make_unique<Database>(location_);
  return *writer_;
}

void RequestStore::WriteOne(Job& job) {
  Database& db = Writer();
  const ReceivedRequest& received = job.received;
  const DecodedRequest& decoded = job.decoded;
  Row row{{"received_at", received.receivedAt},
          {"remote_addr", received.remoteAddr},
          {"method", received.method},
          {"path", received.path},
          {"body_size", static_cast<int64_t>(received.body.size())},
          {"body", Blob{received.body}},
          {"decoded", int64_t{decoded.decoded ? 1 : 0}},
          {"decode_error", decoded.error},
          {"answer_status", job.answer.drop ? Value{nullptr} : Value{int64_t{job.answer.httpStatus}}},
          {"answer", job.answerText}};
  const bool envelopeRead = decoded.packet.has_request();
  if (envelopeRead) {
    AppendScalarFields(decoded.packet, &row);
    AppendScalarFields(decoded.packet.request(), &row);
  }
  const int64_t requestId = InsertRow(db, "requests", row);
  PendingRows pending;
  for (const auto& entry : received.headers) pending.headers.push_back({requestId, entry.first, entry.second});
  if (envelopeRead) {
    AddMap(&pending, "request", requestId, "reserved", decoded.packet.request().reserved());
    AddMap(&pending, "request", requestId, "headers", decoded.packet.request().headers());
  }
  for (const DecodedReport& report : decoded.reports) {
    if (!InsertReport(db, requestId, report, &pending)) job.repeated.push_back(report.upload.expuid());
  }
  if (decoded.hasUserInfo) InsertUserInfo(db, requestId, decoded.userInfo, &pending);
  Flush(db, pending);
  job.id = requestId;
}

void RequestStore::WriteBatch(const std::vector<Job*>& batch) {
  std::lock_guard<std::mutex> lock(writerMutex_);
  try {
    Transaction transaction(Writer());
    for (Job* job : batch) WriteOne(*job);
    transaction.Commit();
    return;
  } catch (const DatabaseError& error) {
    if (batch.size() == 1 || error.unavailable()) {
      for (Job* job : batch) job->error = std::current_exception();
      return;
    }
  } catch (...) {
    if (batch.size() == 1) {
      batch[0]->error = std::current_exception();
      return;
    }
  }
  // One request the database refused must not take the others with it.
  for (Job* job : batch) {
    job->id = 0;
    job->repeated.clear();
    try {
      Transaction transaction(Writer());
      WriteOne(*job);
      transaction.Commit();
    } catch (...) {
      job->error = std::current_exception();
    }
  }
}

int64_t RequestStore::Store(const ReceivedRequest& received, const DecodedRequest& decoded, const Answer& answer,
                            const std::string& answerText, std::vector<std::string>* repeated) {
  Job job{received, decoded, answer, answerText, 0, {}, nullptr, false};
  std::unique_lock<std::mutex> lock(queueMutex_);
  queue_.push_back(&job);
  // Whoever finds no batch being written writes everything waiting, its own
  // request among it; the others wait for their answer.
  while (!job.done) {
    if (writing_) {
      written_.wait(lock);
      continue;
    }
    writing_ = true;
    std::vector<Job*> batch;
    batch.swap(queue_);
    lock.unlock();
    WriteBatch(batch);
    lock.lock();
    for (Job* done : batch) done->done = true;
    writing_ = false;
    written_.notify_all();
  }
  if (job.error) std::rethrow_exception(job.error);
  if (repeated != nullptr) *repeated = job.repeated;
  return job.id;
}

void RequestStore::WriteStrategy(const std::map<std::string, std::string>& strategy) {
  std::lock_guard<std::mutex> lock(writerMutex_);
  Database& db = Writer();
  Transaction transaction(db);
  db.Exec("DELETE FROM strategy");
  Query insert(db, "INSERT INTO strategy (key, value) VALUES (?, ?)");
  for (const auto& entry : strategy) {
    insert.Bind(1, entry.first).Bind(2, entry.second).Run();
    insert.Reset();
  }
  transaction.Commit();
}

std::map<std::string, std::string> RequestStore::ReadStrategy() {
  std::lock_guard<std::mutex> lock(readerMutex_);
  if (!reader_) reader_ = std::make_unique<Database>(location_);
  std::map<std::string, std::string> strategy;
  Query rows(*reader_, "SELECT key, value FROM strategy");
  while (rows.Step()) strategy[rows.Text(0)] = rows.Text(1);
  return strategy;
}

}  // namespace collector
