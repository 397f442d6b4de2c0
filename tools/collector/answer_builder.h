#pragma once
// What the collector answers to one request, faults included.

#include <cstddef>
#include <cstdint>
#include <string>

#include "collector/collector_options.h"

namespace collector {

struct Answer {
  bool drop = false;    // close the connection instead of answering
  int delayMs = 0;      // wait this long first
  int httpStatus = 200;
  bool gzipEncodingHeader = false;  // add "Content-Encoding: gzip"
  std::string body;     // "application/octet-stream"
  int64_t bodyBytes = -1;  // when not -1, send this many bytes (see AnswerBodyBytes)
};

// Bytes [offset, offset + size) of an answer body of answer.bodyBytes bytes:
// answer.body, then zero bytes.
std::string AnswerBodyBytes(const Answer& answer, size_t offset, size_t size);

// Every answer carries a UniPacket whose response has the request's cmd and
// the configured status text; the answer to 840 also carries a KplStrategy
// with the configured valueMap in sBuffer. The packet is gzip-compressed
// unless plainBody is set. cmd is the envelope's cmd, 0 when unknown.
Answer BuildAnswer(const CollectorOptions& options, int cmd);

// One word for the summary line: "dropped" or the status with the body kind.
std::string DescribeAnswer(const Answer& answer, const CollectorOptions& options);

}  // namespace collector
