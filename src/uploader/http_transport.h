#pragma once
// The one piece of an upload that speaks HTTP: a POST over TLS and its answer.
// Everything around it (bodies, records, answers) is plain code that does not
// know the HTTP library.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Vextra {

// Request headers in the order they are sent.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpAnswer {
  bool arrived = false;  // an answer was read, whatever its status
  int status = 0;        // HTTP status code when arrived
  std::string body;      // the start of the answer body as received, when arrived
};

// A header value as it is sent: CR, LF and NUL each become a blank. A value
// cannot hold a line end (it would start a header line of its own, or cut the
// request short); a blank is what a receiver makes of a folded header line, and
// it keeps the value's length and its words apart. Other bytes are unchanged.
std::string HeaderFieldValue(const std::string& value);

// Posts request bodies to one server. A transport belongs to one upload task
// and is used by one thread at a time. Post never throws.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // POSTs body to path with the headers (values as HeaderFieldValue makes
  // them) and the content type, and blocks for the whole exchange. Of the
  // answer body at most maxBodyBytes are read (none for 0); the rest is left
  // unread and the connection closed, so an answer of any size costs no more
  // memory than that. No answer (no connection, TLS failure, time-out before
  // the headers or within the bytes read, an answer with a content coding the
  // client refuses) comes back with arrived false.
  virtual HttpAnswer Post(const std::string& path, const HttpHeaders& headers, const std::string& body,
                          const std::string& contentType, size_t maxBodyBytes) = 0;
};

// Client settings of every upload: HTTPS on the given port (443 unless the
// server setting names another), 300 s to connect, 5 s
// read and write time-outs, no keep-alive, no redirects, no certificate
// verification, no content coding (an answer with "Content-Encoding" "gzip"
// counts as none), "User-Agent" "cpp-httplib/0.7". host is used verbatim as
// the host name. Connects nothing yet.
constexpr int kHttpsPort = 443;
constexpr int kConnectTimeoutSeconds = 300;
constexpr int kReadTimeoutSeconds = 5;
constexpr int kWriteTimeoutSeconds = 5;
std::unique_ptr<HttpTransport> MakeTlsTransport(const std::string& host, int port = kHttpsPort);

// Starts the system's sockets for this process if that has not happened yet
// (Winsock on Windows; nothing elsewhere). Posts call it first, so nothing
// network-related runs while the library is loaded or unloaded. Never undone:
// the end of the process releases it. Any thread; takes no lock.
void StartNetworking();

// Runs body on the calling thread so that writing to a peer that has gone
// away fails as an error instead of raising a signal that would end the host
// process (POSIX); elsewhere it only runs body.
void RunWithoutBrokenPipeSignal(const std::function<void()>& body);

}  // namespace Vextra
