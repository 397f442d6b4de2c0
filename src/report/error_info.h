#pragma once
// ErrorInfo: the record of one error a host reported. Built by the intake,
// carried whole (every member deep-copied) through the report queues, and
// turned into a report by UploadTask::SendErrorReport.

#include <cstdint>
#include <string>

namespace Vextra {

// Longest log path a record carries, in wide characters, terminator included.
constexpr size_t kErrorLogPathChars = 260;

struct ErrorInfo {
  int32_t type = 0;             // the host's error type code
  std::string name;             // becomes expName
  std::string message;          // becomes expMessage
  std::string stack;            // becomes callStack
  std::string extraInfo;        // flat JSON-like object, parsed into userMap
  bool isEmpty = true;          // false once the intake has filled the record
  std::string stackDigest;      // MD5 of stack, 32 upper-case hex digits
  int32_t count = 0;            // merge counter
  int64_t lastProcessedTime = 0;  // seconds since the epoch; recorded store only
  std::wstring logPath;         // log file to attach; empty for none, < kErrorLogPathChars
};

}  // namespace Vextra
