// vextra-collector: a reference collection server for tests and demos. Accepts
// "POST /pb/async" over HTTPS, stores every request in SQLite or in a
// PostgreSQL database shared with other collectors, answers with the stored
// strategy and configurable faults, analyses stored reports in the background
// into crash groups, serves them on --web, and stops cleanly on SIGINT or SIGTERM or
// when a given stop file appears.

#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collector/analysis/background_analyser.h"
#include "collector/analysis/dump_analysis.h"
#include "collector/analysis/stored_symbols_analyser.h"
#include "collector/answer_builder.h"
#include "collector/collector_options.h"
#include "collector/request_decoder.h"
#include "collector/request_store.h"
#include "collector/request_summary.h"
#include "collector/self_signed_identity.h"
#include "collector/server_setup.h"
#include "collector/storage/database.h"
#include "collector/symbols/symbol_store.h"
#include "collector/web/web_server.h"
#include "httplib.h"

namespace {

using collector::CollectorOptions;

// Wakes delayed answers early when the collector is asked to stop.
class StopSignal {
 public:
  void Raise() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    cv_.notify_all();
  }
  bool IsRaised() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }
  void WaitFor(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopping_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
};

void PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

collector::ReceivedRequest Received(const httplib::Request& req) {
  collector::ReceivedRequest received;
  received.receivedAt = static_cast<int64_t>(std::time(nullptr));
  received.remoteAddr = req.remote_addr;
  received.method = req.method;
  received.path = req.path;
  for (const auto& header : req.headers) received.headers.emplace_back(header.first, header.second);
  received.body = req.body;
  return received;
}

bool IsUpload(const httplib::Request& req) { return req.method == "POST" && req.path == "/pb/async"; }

// The answers of every command but 840 depend on the options alone: each is
// built and gzipped once, not per request.
class AnswerCache {
 public:
  collector::Answer For(const CollectorOptions& options, int cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = answers_.find(cmd);
    if (it == answers_.end()) it = answers_.emplace(cmd, collector::BuildAnswer(options, cmd)).first;
    return it->second;
  }

 private:
  std::mutex mutex_;
  std::map<int, collector::Answer> answers_;  // guarded by mutex_
};

void HandleUpload(const CollectorOptions& options, collector::RequestStore& store, AnswerCache& answers,
                  collector::BackgroundAnalyser& analyser, StopSignal& stop, const httplib::Request& req,
                  httplib::Response& res) {
  const collector::ReceivedRequest received = Received(req);
  const collector::DecodedRequest decoded = collector::DecodeRequestBody(req.body);
  collector::Answer answer;
  std::string answerText;
  std::vector<std::string> repeated;
  try {
    // Every collector of the database answers with the strategy stored there.
    if (decoded.cmd == collector::kCmdUserInfo) {
      CollectorOptions answering = options;
      answering.strategy = store.ReadStrategy();
      answer = collector::BuildAnswer(answering, decoded.cmd);
    } else {
      answer = answers.For(options, decoded.cmd);
    }
    answerText = collector::DescribeAnswer(answer, options);
    // Stored before answering, so a client that got its answer finds the row.
    store.Store(received, decoded, answer, answerText, &repeated);
  } catch (const std::exception& error) {
    // Nothing of the request was stored: the client must count it as failed.
    PrintLine(std::string("cannot store the request: ") + error.what());
    if (options.unavailableStatus == 0) {
      PrintLine(collector::FormatRequestSummary(decoded, req.body.size(), "none (database unavailable)"));
      if (req.ssl != nullptr) shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
      return;
    }
    PrintLine(collector::FormatRequestSummary(decoded, req.body.size(),
                                              std::to_string(options.unavailableStatus) + " database unavailable"));
    res.status = options.unavailableStatus;
    res.set_content("the collector's database is unavailable; send again later\n", "text/plain");
    return;
  }
  // The analysis runs on the analyser's thread, never in this request.
  if (decoded.hasReports) analyser.Wake();
  PrintLine(collector::FormatRequestSummary(decoded, req.body.size(), answerText, repeated));

  if (answer.delayMs > 0) stop.WaitFor(answer.delayMs);
  if (answer.drop) {
    // Both directions end at once: the client reads end-of-stream, no answer.
    if (req.ssl != nullptr) shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
    return;
  }
  res.status = answer.httpStatus;
  if (answer.gzipEncodingHeader) res.set_header("Content-Encoding", "gzip");
  if (answer.bodyBytes < 0) {
    res.set_content(answer.body, "application/octet-stream");
    return;
  }
  // Streamed a piece at a time: an answer of hundreds of MiB is never held whole.
  res.set_content_provider(static_cast<size_t>(answer.bodyBytes), "application/octet-stream",
                           [answer](size_t offset, size_t length, httplib::DataSink& sink) {
                             const std::string piece = collector::AnswerBodyBytes(answer, offset, std::min<size_t>(length, 64 * 1024));
                             return sink.write(piece.data(), piece.size());
                           });
}

// True on SIGINT or SIGTERM or once the stop file exists; false when the
// server ended on its own first.
bool WaitForStopRequest(const CollectorOptions& options, const sigset_t& stopSignals,
                        const std::atomic<bool>& listenDone) {
  const timespec pollInterval{0, 100 * 1000 * 1000};
  while (!listenDone) {
    if (sigtimedwait(&stopSignals, nullptr, &pollInterval) > 0) return true;
    struct stat info;
    if (!options.stopFile.empty() && stat(options.stopFile.c_str(), &info) == 0) return true;
  }
  return false;
}

int Run(const CollectorOptions& options, const sigset_t& stopSignals) {
  collector::RequestStore store(options.dbPath);
  if (!options.strategy.empty()) store.WriteStrategy(options.strategy);
  // Every thread walked with the unwind tables of the stored modules and
  // named with their debug information.
  collector::StoredSymbolsAnalyser dumpAnalyser(options.dbPath);
  // Claims in a shared database name the collector by its address.
  const std::string owner = options.listen + ":" + std::to_string(options.port) + "/" + std::to_string(getpid());
  collector::BackgroundAnalyser analyser(options.dbPath, dumpAnalyser, PrintLine, owner);

  collector::TlsIdentity identity;
  std::unique_ptr<httplib::SSLServer> server;
  if (options.certPath.empty()) {
    identity = collector::MakeSelfSignedIdentity("vextra-collector");
    server = std::make_unique<httplib::SSLServer>(identity.certificate.get(), identity.key.get());
  } else {
    server = std::make_unique<httplib::SSLServer>(options.certPath.c_str(), options.keyPath.c_str());
  }
  if (!server->is_valid()) {
    std::fprintf(stderr, "vextra-collector: cannot set up TLS with the given certificate and key\n");
    return 1;
  }

  StopSignal stop;
  AnswerCache answers;
  server->Post("/pb/async", [&](const httplib::Request& req, httplib::Response& res) {
    HandleUpload(options, store, answers, analyser, stop, req, res);
  });
  // Anything else gets the server's 404, and a body over the limit its 413
  // (unread); both are still stored and printed.
  server->set_logger([&](const httplib::Request& req, const httplib::Response& res) {
    const bool tooLarge = res.status == 413;
    if (IsUpload(req) && !tooLarge) return;
    collector::DecodedRequest decoded;
    decoded.error = tooLarge ? "body larger than " + std::to_string(options.maxBodyBytes) + " bytes"
                             : "not POST /pb/async: " + req.method + " " + req.path;
    collector::Answer answer;
    answer.httpStatus = res.status;
    const std::string answerText = std::to_string(res.status);
    try {
      store.Store(Received(req), decoded, answer, answerText);
    } catch (const std::exception& error) {
      PrintLine(std::string("cannot store the request: ") + error.what());
    }
    PrintLine(collector::FormatRequestSummary(decoded, req.body.size(), answerText));
  });
  collector::TuneServer(*server, collector::ServerTuning{});
  server->set_payload_max_length(static_cast<size_t>(options.maxBodyBytes));
  if (!server->bind_to_port(options.listen.c_str(), options.port)) {
    std::fprintf(stderr, "vextra-collector: cannot listen on %s port %d\n", options.listen.c_str(), options.port);
    return 1;
  }
  std::unique_ptr<collector::WebServer> web;
  if (options.webPort != 0) {
    web = std::make_unique<collector::WebServer>(options.dbPath, options.webToken);
    if (!web->Bind(options.webAddress, options.webPort)) {
      std::fprintf(stderr, "vextra-collector: cannot serve the web view on %s port %d\n", options.webAddress.c_str(),
                   options.webPort);
      return 1;
    }
  }
  const std::string listening = "listening on " + options.listen + " port " + std::to_string(options.port);
  PrintLine(listening + ", storing in " + collector::DisplayLocation(options.dbPath));
  analyser.Start();
  if (web) {
    web->Start();
    const bool v6 = options.webAddress.find(':') != std::string::npos;
    PrintLine("web view on http://" + (v6 ? "[" + options.webAddress + "]" : options.webAddress) + ":" +
              std::to_string(options.webPort) + "/" + (options.webToken.empty() ? "" : " (access token required)"));
  }
  if (!options.readyFile.empty() && !collector::WriteReadyFile(options.readyFile, listening)) {
    std::fprintf(stderr, "vextra-collector: cannot write %s\n", options.readyFile.c_str());
    return 1;
  }

  std::atomic<bool> listenDone{false};
  std::thread signalWaiter([&] {
    if (!WaitForStopRequest(options, stopSignals, listenDone)) return;
    stop.Raise();
    // stop() only acts on a running server: wait for the accept loop to start.
    while (!listenDone) {
      if (server->is_running()) {
        server->stop();
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const bool listened = server->listen_after_bind();
  listenDone = true;
  signalWaiter.join();
  if (web) web->Stop();
  analyser.Stop();
  PrintLine("stopped");
  return listened || stop.IsRaised() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "symbols") {
    return collector::RunSymbolsCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  const collector::ParseOutcome parsed =
      collector::ParseCollectorArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.ok) {
    std::fprintf(stderr, "vextra-collector: %s (see --help)\n", parsed.error.c_str());
    return 2;
  }
  if (parsed.options.help) {
    std::fputs(collector::CollectorUsage().c_str(), stdout);
    return 0;
  }

  // SIGINT and SIGTERM are taken by one waiting thread; every other thread
  // inherits the blocked mask. A peer that vanishes must not end the process.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int status = 1;
  try {
    status = Run(parsed.options, stopSignals);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vextra-collector: %s\n", error.what());
  }
  // Removing the stop file tells whoever created it that the database is closed.
  if (!parsed.options.stopFile.empty()) std::remove(parsed.options.stopFile.c_str());
  return status;
}
