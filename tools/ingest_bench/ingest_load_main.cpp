// vextra-ingest-load: a burst of crash and error reports against one server.
// CLIENTS concurrent HTTPS clients, each on its own keep-alive connection,
// POST gzip'd protobuf report requests (830, one report with its log, a plain
// and a broken attachment, optionally a dump-sized one) to "/pb/async" as the
// library sends them, each with an expuid of its own. Every answer must be
// HTTP 200: the first other answer or transport error stops the run and the
// program fails. Prints requests/s, MB/s of request bodies and the latency
// percentiles, then one "result" line of key=value pairs for scripts.
//   vextra-ingest-load --url https://ADDRESS:PORT [--clients 32]
//                      [--requests N] [--seconds S] [--attachment-bytes B] [--label TEXT]
// N distinct bodies (--requests, default 6400) are each sent once; with
// --seconds the run also ends when that time is up, whichever comes first.
// No body is sent twice.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VextraPkg.pb.h"
#include "collector/tests/request_bodies.h"
#include "httplib.h"

namespace {

using Clock = std::chrono::steady_clock;

struct LoadOptions {
  std::string host;
  int port = 443;
  int clients = 32;
  long requests = 6400;
  double seconds = 0;  // > 0: also end the run after this long
  long attachmentBytes = 0;
  std::string label = "server";
};

bool ParseLong(const std::string& text, long low, long high, long* out) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// "https://ADDRESS:PORT" into host and port.
bool ParseUrl(const std::string& url, LoadOptions* options) {
  const std::string scheme = "https://";
  if (url.rfind(scheme, 0) != 0) return false;
  std::string rest = url.substr(scheme.size());
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos) {
    options->host = rest;
    return !rest.empty();
  }
  long port = 0;
  if (!ParseLong(rest.substr(colon + 1), 1, 65535, &port)) return false;
  options->host = rest.substr(0, colon);
  options->port = static_cast<int>(port);
  return !options->host.empty();
}

std::string ParseArguments(int argc, char** argv, LoadOptions* options) {
  bool haveUrl = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return name + " needs a value";
    const std::string value = argv[++i];
    long number = 0;
    if (name == "--url") {
      if (!ParseUrl(value, options)) return "--url needs https://ADDRESS:PORT, got '" + value + "'";
      haveUrl = true;
    } else if (name == "--clients") {
      if (!ParseLong(value, 1, 4096, &number)) return "--clients needs a number from 1 to 4096";
      options->clients = static_cast<int>(number);
    } else if (name == "--requests") {
      if (!ParseLong(value, 1, 100000000, &options->requests)) return "--requests needs a positive number";
    } else if (name == "--seconds") {
      if (!ParseLong(value, 1, 86400, &number)) return "--seconds needs a number from 1 to 86400";
      options->seconds = static_cast<double>(number);
    } else if (name == "--attachment-bytes") {
      if (!ParseLong(value, 0, 256L * 1024 * 1024, &options->attachmentBytes))
        return "--attachment-bytes needs a number from 0 to 268435456";
    } else if (name == "--label") {
      options->label = value;
    } else {
      return "unknown option " + name;
    }
  }
  return haveUrl ? "" : "--url is required";
}

// Bytes shaped like a dump: runs of zeros between runs of noise, so that the
// zlib attachment holds about half of them, as real dumps do.
std::string DumpLikeBytes(long size, std::mt19937& random) {
  std::string bytes(static_cast<size_t>(size), '\0');
  for (long at = 0; at < size; at += 128) {
    if ((at / 128) % 2 == 1) continue;
    for (long i = at; i < std::min(size, at + 128); ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(random());
  }
  return bytes;
}

// The gzip'd body of one report request with the given expuid.
std::string ReportBody(const std::string& expuid, const std::string& dumpBytes) {
  VextraPkg::UniPacket packet = collector_test::MakeReportPacket(expuid);
  if (!dumpBytes.empty()) {
    VextraPkg::ExceptionUploadPackage package;
    package.ParseFromString(packet.request().sbuffer());
    VextraPkg::Attachment* dump = package.mutable_list(0)->add_attaches();
    dump->set_type(4);
    dump->set_filename("minidump.dmp.zip");
    dump->set_data(collector_test::ZlibCompress(dumpBytes));
    packet.mutable_request()->set_sbuffer(package.SerializeAsString());
  }
  return collector_test::GzipPacket(packet);
}

// One client's share of the run.
struct ClientResult {
  std::vector<double> latenciesMs;
  uint64_t bodyBytes = 0;
};

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

}  // namespace

int main(int argc, char** argv) {
  LoadOptions options;
  const std::string problem = ParseArguments(argc, argv, &options);
  if (!problem.empty()) {
    std::fprintf(stderr,
                 "vextra-ingest-load: %s\nusage: vextra-ingest-load --url https://ADDRESS:PORT [--clients 32] "
                 "[--requests N] [--seconds S] [--attachment-bytes B] [--label TEXT]\n",
                 problem.c_str());
    return 2;
  }

  // Every body is built before the clock starts; a run id keeps expuids apart between runs.
  std::mt19937 random(std::random_device{}());
  char runId[17];
  std::snprintf(runId, sizeof runId, "%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
  const std::string dumpBytes = DumpLikeBytes(options.attachmentBytes, random);
  const long distinct = options.requests;
  std::vector<std::string> bodies;
  bodies.reserve(static_cast<size_t>(distinct));
  for (long i = 0; i < distinct; ++i) bodies.push_back(ReportBody(std::string(runId) + "-" + std::to_string(i), dumpBytes));
  uint64_t poolBytes = 0;
  for (const std::string& body : bodies) poolBytes += body.size();

  const httplib::Headers headers = {{"cmd", "830"}, {"prodId", "app-1"}, {"platformId", "10"}, {"appVer", "1.2.3"}};
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  std::mutex errorMutex;
  std::string firstError;
  std::mutex startMutex;
  std::condition_variable startCv;
  bool started = false;
  Clock::time_point startTime;
  Clock::time_point deadline = Clock::time_point::max();
  std::vector<ClientResult> results(static_cast<size_t>(options.clients));

  auto fail = [&](const std::string& error) {
    std::lock_guard<std::mutex> lock(errorMutex);
    if (firstError.empty()) firstError = error;
    failed = true;
  };

  std::vector<std::thread> clients;
  for (int c = 0; c < options.clients; ++c) {
    clients.emplace_back([&, c] {
      httplib::SSLClient client(options.host, options.port);
      client.enable_server_certificate_verification(false);  // the servers' identities are self-signed
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);  // a request goes out whole at once, not held for an earlier ACK
      client.set_connection_timeout(10, 0);
      client.set_read_timeout(60, 0);
      client.set_write_timeout(60, 0);
      ClientResult& result = results[static_cast<size_t>(c)];
      {
        std::unique_lock<std::mutex> lock(startMutex);
        startCv.wait(lock, [&] { return started; });
      }
      while (!failed) {
        const long index = next.fetch_add(1);
        if (index >= options.requests || Clock::now() >= deadline) break;
        const std::string& body = bodies[static_cast<size_t>(index)];
        const Clock::time_point sent = Clock::now();
        const httplib::Result answer = client.Post("/pb/async", headers, body, "application/octet-stream");
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
        if (!answer) {
          fail("request " + std::to_string(index) + ": " + httplib::to_string(answer.error()));
          break;
        }
        if (answer->status != 200) {
          fail("request " + std::to_string(index) + ": HTTP " + std::to_string(answer->status));
          break;
        }
        result.latenciesMs.push_back(ms);
        result.bodyBytes += body.size();
      }
    });
  }
  {
    std::lock_guard<std::mutex> lock(startMutex);
    startTime = Clock::now();
    if (options.seconds > 0)
      deadline = startTime + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    started = true;
  }
  startCv.notify_all();
  for (std::thread& client : clients) client.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - startTime).count();

  if (failed) {
    std::fprintf(stderr, "vextra-ingest-load: %s: %s\n", options.label.c_str(), firstError.c_str());
    return 1;
  }
  std::vector<double> latencies;
  uint64_t bodyBytes = 0;
  for (const ClientResult& result : results) {
    latencies.insert(latencies.end(), result.latenciesMs.begin(), result.latenciesMs.end());
    bodyBytes += result.bodyBytes;
  }
  std::sort(latencies.begin(), latencies.end());
  const double rate = static_cast<double>(latencies.size()) / seconds;
  const double mbPerSecond = static_cast<double>(bodyBytes) / 1e6 / seconds;
  const double p50 = Percentile(latencies, 0.50);
  const double p99 = Percentile(latencies, 0.99);
  std::printf("%s: %zu requests (bodies of %.1f kB on average) by %d clients in %.2f s: %.0f requests/s, %.2f MB/s, "
              "latency p50 %.2f ms, p99 %.2f ms\n",
              options.label.c_str(), latencies.size(), static_cast<double>(poolBytes) / 1e3 / static_cast<double>(distinct),
              options.clients, seconds, rate, mbPerSecond, p50, p99);
  std::printf("result label=%s requests=%zu body_bytes=%llu seconds=%.3f requests_per_s=%.1f mb_per_s=%.3f p50_ms=%.3f "
              "p99_ms=%.3f\n",
              options.label.c_str(), latencies.size(), static_cast<unsigned long long>(bodyBytes), seconds, rate,
              mbPerSecond, p50, p99);
  return 0;
}
