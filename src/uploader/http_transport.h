#pragma once
// The one piece of an upload that speaks HTTP: a POST over TLS and its answer.
// Everything around it (bodies, records, answers) is plain code that does not
// know the HTTP library.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Vextra {

// Request headers in the order they are sent.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpAnswer {
  bool arrived = false;  // a whole answer was read, whatever its status
  int status = 0;        // HTTP status code when arrived
  std::string body;      // answer body when arrived, exactly as received
};

// Posts request bodies to one server. A transport belongs to one upload task
// and is used by one thread at a time. Post never throws.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // POSTs body to path with the headers and the content type, and blocks for
  // the whole exchange. No answer (no connection, TLS failure, time-out, an
  // answer the client refuses) comes back with arrived false.
  virtual HttpAnswer Post(const std::string& path, const HttpHeaders& headers, const std::string& body,
                          const std::string& contentType) = 0;
};

// Client settings of every upload: HTTPS on port 443, 300 s to connect, 5 s
// read and write time-outs, no keep-alive, no redirects, no certificate
// verification, no content coding (an answer with "Content-Encoding" "gzip"
// counts as none), "User-Agent" "cpp-httplib/0.7". host is used verbatim as
// the host name. Connects nothing yet.
constexpr int kHttpsPort = 443;
constexpr int kConnectTimeoutSeconds = 300;
constexpr int kReadTimeoutSeconds = 5;
constexpr int kWriteTimeoutSeconds = 5;
std::unique_ptr<HttpTransport> MakeTlsTransport(const std::string& host);

// Runs body on the calling thread so that writing to a peer that has gone
// away fails as an error instead of raising a signal that would end the host
// process (POSIX); elsewhere it only runs body.
void RunWithoutBrokenPipeSignal(const std::function<void()>& body);

}  // namespace Vextra
