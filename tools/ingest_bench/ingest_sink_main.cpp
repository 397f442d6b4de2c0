// vextra-ingest-sink: the ceiling of ingest. A bare HTTPS server on the
// collector's stack (cpp-httplib over OpenSSL, a self-signed identity) that
// reads each "POST /pb/async" body whole, throws it away and answers 200 with a
// fixed small body: nothing decoded, nothing stored. Its defaults are those of
// a server tuned for many clients (a worker per connection, long keep-alive,
// TCP_NODELAY, a deep listen queue); "--threads 8 --keep-alive-max 5
// --tcp-nodelay off" is cpp-httplib's own defaults, which the collector uses.
//   vextra-ingest-sink [--listen ADDRESS] [--port PORT] [--ready-file FILE]
//                      [--threads N] [--keep-alive-max N] [--tcp-nodelay on|off]
// Stops on SIGINT or SIGTERM and then prints how many requests and body bytes
// it received.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "collector/self_signed_identity.h"
#include "collector/server_setup.h"
#include "httplib.h"

namespace {

struct SinkOptions {
  std::string listen = "127.0.0.1";
  int port = 443;
  std::string readyFile;
  int threads = 64;          // at least one per client: no connection waits for a worker
  int keepAliveMax = 1000;   // requests per connection before the server closes it
  bool tcpNoDelay = true;    // an answer goes out at once, not held for the client's ACK
};

bool ParseInt(const std::string& text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

bool ParseArguments(int argc, char** argv, SinkOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (name == "--listen") {
      options->listen = value;
    } else if (name == "--port") {
      if (!ParseInt(value, 1, 65535, &options->port)) return false;
    } else if (name == "--threads") {
      if (!ParseInt(value, 1, 4096, &options->threads)) return false;
    } else if (name == "--keep-alive-max") {
      if (!ParseInt(value, 1, 1000000, &options->keepAliveMax)) return false;
    } else if (name == "--tcp-nodelay") {
      if (value != "on" && value != "off") return false;
      options->tcpNoDelay = value == "on";
    } else if (name == "--ready-file") {
      options->readyFile = value;
    } else {
      return false;
    }
  }
  return true;
}

// The answer to every upload: small and always the same.
constexpr char kAnswer[] = "received";

}  // namespace

int main(int argc, char** argv) {
  SinkOptions options;
  if (!ParseArguments(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: vextra-ingest-sink [--listen ADDRESS] [--port PORT] [--ready-file FILE] [--threads 64]\n"
                 "                          [--keep-alive-max 1000] [--tcp-nodelay on|off]\n");
    return 2;
  }
  // The stop signals are taken by sigwait below, on no other thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  collector::TlsIdentity identity = collector::MakeSelfSignedIdentity("vextra-ingest-sink");
  httplib::SSLServer server(identity.certificate.get(), identity.key.get());
  if (!server.is_valid()) {
    std::fprintf(stderr, "vextra-ingest-sink: cannot set up TLS\n");
    return 1;
  }

  collector::TuneServer(server, collector::ServerTuning{static_cast<size_t>(options.threads),
                                                       static_cast<size_t>(options.keepAliveMax), options.tcpNoDelay});

  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> bodyBytes{0};
  // cpp-httplib has read the whole body into req.body before the handler runs.
  server.Post("/pb/async", [&](const httplib::Request& req, httplib::Response& res) {
    requests.fetch_add(1, std::memory_order_relaxed);
    bodyBytes.fetch_add(req.body.size(), std::memory_order_relaxed);
    res.status = 200;
    res.set_content(kAnswer, sizeof kAnswer - 1, "application/octet-stream");
  });
  if (!server.bind_to_port(options.listen.c_str(), options.port)) {
    std::fprintf(stderr, "vextra-ingest-sink: cannot listen on %s port %d\n", options.listen.c_str(), options.port);
    return 1;
  }
  const std::string listening = "listening on " + options.listen + " port " + std::to_string(options.port);
  std::printf("%s\n", listening.c_str());
  std::fflush(stdout);
  if (!options.readyFile.empty() && !collector::WriteReadyFile(options.readyFile, listening)) {
    std::fprintf(stderr, "vextra-ingest-sink: cannot write %s\n", options.readyFile.c_str());
    return 1;
  }

  std::atomic<bool> listenDone{false};
  std::thread stopper([&] {
    const timespec pollInterval{0, 100 * 1000 * 1000};
    while (!listenDone) {
      if (sigtimedwait(&stopSignals, nullptr, &pollInterval) <= 0) continue;
      // stop() acts only on a running server: wait for the accept loop to start.
      while (!listenDone && !server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      server.stop();
      return;
    }
  });
  server.listen_after_bind();
  listenDone = true;
  stopper.join();
  std::printf("stopped after %llu requests, %llu body bytes\n", static_cast<unsigned long long>(requests.load()),
              static_cast<unsigned long long>(bodyBytes.load()));
  return 0;
}
