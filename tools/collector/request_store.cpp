#include "collector/request_store.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

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

void InsertMap(Database& db, const char* owner, int64_t ownerId, const char* mapName,
               const google::protobuf::Map<std::string, std::string>& map) {
  if (map.empty()) return;
  Query insert(db, "INSERT INTO map_entries (owner, owner_id, map, key, value) VALUES (?, ?, ?, ?, ?)");
  for (const auto& entry : map) {
    insert.Bind(1, std::string(owner)).Bind(2, ownerId).Bind(3, std::string(mapName));
    insert.Bind(4, entry.first).Bind(5, entry.second).Run();
    insert.Reset();
  }
}

// False when a report of the same expuid is stored already (then nothing is written).
bool InsertReport(Database& db, int64_t requestId, const DecodedReport& report) {
  Row row{{"request_id", requestId}};
  AppendScalarFields(report.upload, &row);
  const int64_t reportId =
      InsertRow(db, "reports", row, " ON CONFLICT (expuid) WHERE expuid <> '' DO NOTHING RETURNING id");
  if (reportId == 0) return false;
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
               {"error", attachment.error}},
              "");
  }
  return true;
}

void InsertUserInfo(Database& db, int64_t requestId, const VextraPkg::UserInfoPackage& userInfo) {
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
  if (!received.headers.empty()) {
    Query header(db, "INSERT INTO request_headers (request_id, name, value) VALUES (?, ?, ?)");
    for (const auto& entry : received.headers) {
      header.Bind(1, requestId).Bind(2, entry.first).Bind(3, entry.second).Run();
      header.Reset();
    }
  }
  if (envelopeRead) {
    InsertMap(db, "request", requestId, "reserved", decoded.packet.request().reserved());
    InsertMap(db, "request", requestId, "headers", decoded.packet.request().headers());
  }
  for (const DecodedReport& report : decoded.reports) {
    if (!InsertReport(db, requestId, report)) job.repeated.push_back(report.upload.expuid());
  }
  if (decoded.hasUserInfo) InsertUserInfo(db, requestId, decoded.userInfo);
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
