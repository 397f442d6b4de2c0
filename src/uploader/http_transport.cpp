#include "uploader/http_transport.h"

// Bodies are gzip streams made by the library itself; the HTTP layer must not
// code them again, nor decode answers.
#ifdef CPPHTTPLIB_ZLIB_SUPPORT
#error "uploads use cpp-httplib without its zlib support"
#endif
#include "httplib.h"

namespace Vextra {
namespace {

// The client name every request carries, whichever build of the HTTP library is linked.
constexpr char kUserAgent[] = "cpp-httplib/0.7";

class TlsTransport : public HttpTransport {
 public:
  explicit TlsTransport(const std::string& host) : client_(host, kHttpsPort) {
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
                  const std::string& contentType) override {
    HttpAnswer answer;
    try {
      RunWithoutBrokenPipeSignal([&] {
        httplib::Headers sent(headers.begin(), headers.end());
        if (sent.find("User-Agent") == sent.end()) sent.emplace("User-Agent", kUserAgent);
        httplib::Result result = client_.Post(path.c_str(), sent, body.data(), body.size(), contentType.c_str());
        if (!result) return;
        answer.arrived = true;
        answer.status = result->status;
        answer.body = std::move(result->body);
      });
    } catch (...) {
      answer = HttpAnswer{};
    }
    return answer;
  }

 private:
  httplib::SSLClient client_;
};

}  // namespace

std::unique_ptr<HttpTransport> MakeTlsTransport(const std::string& host) {
  return std::make_unique<TlsTransport>(host);
}

}  // namespace Vextra
