#pragma once
// The HTTPS server settings the collector runs with, shared with the ingest
// benchmark's sink so the two are measured on the same server.

#include <cstddef>
#include <string>

#include "httplib.h"

namespace collector {

struct ServerTuning {
  size_t workers = 64;              // a worker per connection for this many clients at once
  size_t keepAliveRequests = 1000;  // requests served on one connection before it is closed
  bool tcpNoDelay = true;           // answers leave without waiting for the client's ACK
};

// Applies the tuning, and SO_REUSEADDR only: cpp-httplib's default
// SO_REUSEPORT would let a second server share the address and take some of
// the first one's requests.
void TuneServer(httplib::Server& server, const ServerTuning& tuning);

// Writes line to path once the server listens, so a caller knows the port is
// its own; false when the file cannot be written.
bool WriteReadyFile(const std::string& path, const std::string& line);

}  // namespace collector
