#pragma once
// The collector's SQLite database (tables in collector/request_schema.h).

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "collector/answer_builder.h"
#include "collector/request_decoder.h"

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
  // Opens or creates the database file and its tables (write-ahead journal,
  // so readers in other processes never block the collector). Throws
  // std::runtime_error naming the file and SQLite's message on failure.
  explicit RequestStore(const std::string& path);
  ~RequestStore();
  RequestStore(const RequestStore&) = delete;
  RequestStore& operator=(const RequestStore&) = delete;

  // Stores one request with everything decoded from it and the answer, in one
  // transaction; returns the id of its `requests` row. Any thread may call it.
  // answerText is the summary of the answer (see DescribeAnswer).
  int64_t Store(const ReceivedRequest& received, const DecodedRequest& decoded,
                const Answer& answer, const std::string& answerText);

 private:
  std::mutex mutex_;
  sqlite3* db_ = nullptr;  // guarded by mutex_
};

}  // namespace collector
