#pragma once
// The collector's store of requests (tables in collector/request_schema.h),
// on an SQLite file or a PostgreSQL database shared by several collectors.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "collector/answer_builder.h"
#include "collector/request_decoder.h"
#include "collector/storage/database.h"

namespace collector {

// One request as it arrived.
struct ReceivedRequest {
  int64_t receivedAt = 0;  // seconds since the epoch
  std::string remoteAddr;
  std::string method = "POST";
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class RequestStore {
 public:
  // Opens or creates the database (a file, or a "postgresql://" URI) and its
  // tables. Throws DatabaseError naming the database's message on failure.
  explicit RequestStore(const std::string& location);
  ~RequestStore();
  RequestStore(const RequestStore&) = delete;
  RequestStore& operator=(const RequestStore&) = delete;

  // Stores one request with everything decoded from it and the answer, and
  // returns the id of its `requests` row once it is committed. A report whose
  // expuid is already stored is not stored again: its expuid is added to
  // *repeated (when given). Any thread may call it: requests that wait
  // together are committed in one transaction, each caller returning only
  // after its own. Throws DatabaseError (nothing of the request is stored).
  // answerText is the summary of the answer (see DescribeAnswer).
  int64_t Store(const ReceivedRequest& received, const DecodedRequest& decoded, const Answer& answer,
                const std::string& answerText, std::vector<std::string>* repeated = nullptr);

  // The valueMap of the 840 answer shared by every collector of the database:
  // WriteStrategy replaces it, ReadStrategy reads it. Throw DatabaseError.
  void WriteStrategy(const std::map<std::string, std::string>& strategy);
  std::map<std::string, std::string> ReadStrategy();

 private:
  struct Job;
  void WriteBatch(const std::vector<Job*>& batch);
  void WriteOne(Job& job);
  Database& Writer();  // the writer's connection, opened again after a failure to open

  std::string location_;
  std::mutex writerMutex_;  // held by the one thread writing a batch
  std::unique_ptr<Database> writer_;  // guarded by writerMutex_
  std::mutex queueMutex_;
  std::condition_variable written_;
  std::vector<Job*> queue_;  // guarded by queueMutex_
  bool writing_ = false;     // guarded by queueMutex_
  std::mutex readerMutex_;
  std::unique_ptr<Database> reader_;  // guarded by readerMutex_
};

}  // namespace collector
