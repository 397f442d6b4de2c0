#pragma once
// Rules of the record database that are plain decisions over values: status
// codes, the re-send limit, record ages and the schema version check.

#include <cstdint>

namespace Vextra {

// Status of a report's record.
constexpr int32_t kStatusRecorded = 0;  // written to disk, not yet sent (or withheld)
constexpr int32_t kStatusSent = 1;      // an answer to the request arrived
constexpr int32_t kStatusFailed = 2;    // a send got no answer
constexpr int32_t kStatusGivenUp = 3;   // the data file could not be opened for a re-send

// Records are listed for a re-send while their retry count is at most this,
// so a report is sent at most four times in all.
constexpr int32_t kMaxRetryCount = 3;

// Sent records older than 7 days, and every record older than 30 days, are deleted.
constexpr int64_t kSentRecordLifetimeSeconds = 604800;
constexpr int64_t kAnyRecordLifetimeSeconds = 2592000;

// The schema version kept in T_LOCAL_RECORD.
constexpr int32_t kDbVersion = 1;

// Every status but "sent" and "given up" counts as a failed send and adds one
// to the record's retry count.
constexpr bool StatusAddsRetry(int32_t status) {
  return status != kStatusSent && status != kStatusGivenUp;
}

// The version held in a DB_VERSION cell: its decimal value when the text is
// made of decimal digits only (and fits), else -1. A null cell gives -1.
int32_t ParseDbVersion(const char* cell);

}  // namespace Vextra
