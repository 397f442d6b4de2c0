#pragma once
// Command line of the reference collector.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace collector {

struct CollectorOptions {
  std::string listen = "127.0.0.1";
  int port = 443;
  std::string dbPath = "collector.db";  // an SQLite file or a postgresql:// URI
  std::string certPath;  // both empty: a self-signed identity is made at start
  std::string keyPath;
  std::map<std::string, std::string> strategy;  // valueMap of the 840 answer, stored when given
  int64_t maxBodyBytes = 64 * 1024 * 1024;      // a larger body is refused with 413
  // When the database cannot take a request: 0 closes the connection without
  // an answer (the library counts only a missing answer as a failed upload and
  // sends it again at its next start); otherwise this HTTP status is answered.
  int unavailableStatus = 0;
  std::string statusText;                       // `status` of every answer
  // Faults.
  int httpStatus = 200;
  bool gzipEncodingHeader = false;  // send "Content-Encoding: gzip"
  bool plainBody = false;           // answer body not gzip-compressed
  int delayMs = 0;                  // wait before answering
  bool drop = false;                // close the connection without answering
  // When not -1: the answer body is this many bytes, the usual body followed
  // by zero bytes (or cut), streamed without being held in memory.
  int answerBytes = -1;
  // Stop once this file exists, and remove it when the database is closed
  // (for callers that cannot send signals, such as Windows programs under Wine).
  std::string stopFile;
  // Written once the collector listens, so a caller knows the port is its own.
  std::string readyFile;
  // Web view: off while webPort is 0. A non-loopback webAddress needs webToken.
  std::string webAddress;
  int webPort = 0;
  std::string webToken;  // when set, every page and API call must present it
  bool help = false;
};

struct ParseOutcome {
  bool ok = false;
  CollectorOptions options;
  std::string error;  // one line, set when ok is false
};

// Parses the arguments after the program name. Every option that takes a
// value accepts it as the next argument or as "--name=value".
ParseOutcome ParseCollectorArguments(const std::vector<std::string>& args);

// The usage text printed for --help.
std::string CollectorUsage();

}  // namespace collector
