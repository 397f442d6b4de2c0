#include "uploader/http_transport.h"

// Bodies are gzip streams made by the library itself; the HTTP layer must not
// code them again, nor decode answers.
#ifdef CPPHTTPLIB_ZLIB_SUPPORT
#error "uploads use cpp-httplib without its zlib support"
#endif
// cpp-httplib 0.11.4 starts Winsock from a namespace-scope object
// ("static WSInit wsinit_;"): WSAStartup would run while the library is being
// loaded, under the loader lock, and WSACleanup while it is unloaded. Renamed
// into the declaration of a function that is never defined nor called, there
// is nothing left to construct; StartNetworking starts Winsock on first use.
// The same for its OpenSSL start ("static SSLInit sslinit_;"): it would start
// OpenSSL with its exit-time clean-up on, before the library could ask for it
// off; MakeTlsTransport starts OpenSSL through StartOpenSsl instead.
// (The two renamed declarations are never defined: no unused-function warning.)
#pragma GCC diagnostic ignored "-Wunused-function"
#define wsinit_ wsinit_unused_()
#define sslinit_ sslinit_unused_()
#include "httplib.h"
#undef sslinit_
#undef wsinit_

#include <algorithm>

#include "crash/fork_gate.h"
#include "platform/openssl_start.h"

namespace Vextra {
namespace {

// The client name every request carries, whichever build of the HTTP library is linked.
constexpr char kUserAgent[] = "cpp-httplib/0.7";

class TlsTransport : public HttpTransport {
 public:
  TlsTransport(const std::string& host, int port) : quiet_(), client_(host, port) {
    client_.set_connection_timeout(kConnectTimeoutSeconds, 0);
    client_.set_read_timeout(kReadTimeoutSeconds, 0);
    client_.set_write_timeout(kWriteTimeoutSeconds, 0);
    client_.set_keep_alive(false);
    client_.set_follow_location(false);
    client_.enable_server_certificate_verification(false);
    // Decoding stays requested: without zlib support compiled in, the client
    // refuses a coded answer instead of handing back bytes it did not decode.
    client_.set_decompress(true);
  }

  HttpAnswer Post(const std::string& path, const HttpHeaders& headers, const std::string& body,
                  const std::string& contentType, size_t maxBodyBytes) override {
    HttpAnswer answer;
    try {
      StartNetworking();
      RunWithoutBrokenPipeSignal([&] {
        httplib::Request request;
        request.method = "POST";
        request.path = path;
        for (const auto& [name, value] : headers) request.headers.emplace(name, HeaderFieldValue(value));
        if (request.headers.find("User-Agent") == request.headers.end()) request.headers.emplace("User-Agent", kUserAgent);
        if (!contentType.empty()) request.headers.emplace("Content-Type", HeaderFieldValue(contentType));
        request.body = body;

        int status = 0;
        bool enough = false;  // the read was stopped on purpose, with all that is wanted
        request.response_handler = [&](const httplib::Response& response) {
          status = response.status;
          // Wanting no byte of the body, stop before it; an answer with a
          // content coding goes on, so the library refuses it as no answer.
          if (maxBodyBytes == 0 && response.get_header_value("Content-Encoding").empty()) {
            enough = true;
            return false;
          }
          return true;
        };
        // Called only for an answer without a content coding; keeps the
        // first maxBodyBytes and then ends the read, which closes the connection.
        request.content_receiver = [&](const char* data, size_t size, uint64_t, uint64_t) {
          answer.body.append(data, std::min(size, maxBodyBytes - answer.body.size()));
          enough = answer.body.size() >= maxBodyBytes;
          return !enough;
        };
        httplib::Response response;
        httplib::Error error = httplib::Error::Success;
        if (client_.send(request, response, error)) {
          answer.arrived = true;
          answer.status = response.status;
        } else if (enough && error == httplib::Error::Canceled) {
          answer.arrived = true;
          answer.status = status;
        }
        if (!answer.arrived) answer.body.clear();
      });
    } catch (...) {
      answer = HttpAnswer{};
    }
    return answer;
  }

 private:
  // A fork waits for this TLS client to finish: a child could not take over its locks.
  ForkSensitiveSection quiet_;
  httplib::SSLClient client_;
};

}  // namespace

std::string HeaderFieldValue(const std::string& value) {
  std::string sent = value;
  for (char& c : sent) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return sent;
}

std::unique_ptr<HttpTransport> MakeTlsTransport(const std::string& host, int port) {
  platform::StartOpenSsl();
  return std::make_unique<TlsTransport>(host, port);
}

}  // namespace Vextra
