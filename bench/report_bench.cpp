// Error reports: what an asynchronous VX_ReportException costs its caller,
// against MD5 of the same stack alone (the one piece of work the caller's
// thread must do); and how many asynchronous reports per second the report
// thread delivers to the real collector over TLS, against a bare cpp-httplib
// TLS POST loop of the same bodies (one connection per request).
//
// This program links the library's core (not libVextra64.so): the caller's
// cost is measured with the report threads not running and the queue emptied
// between batches outside the timing, so the queue never grows without bound.

#include <benchmark/benchmark.h>
#include <httplib.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/db_manager.h"
#include "db/raw_db.h"
#include "intake/exception_manager.h"
#include "intake/report_semaphore.h"
#include "platform/text_encoding.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

std::string Stack2K() {
  std::string stack;
  for (int i = 0; stack.size() < 2048; ++i) stack += "at Game.Level.Update(frame " + std::to_string(i) + ") level.lua:40\n";
  stack.resize(2048);
  return stack;
}

std::string Extra1K() {
  std::string extra = "{";
  for (int i = 0; extra.size() < 1000; ++i) extra += "\"key" + std::to_string(i) + "\":\"value" + std::to_string(i) + "\",";
  extra.back() = '}';
  extra.resize(1024, ' ');
  return extra;
}

std::map<std::string, double>& Figures() {
  static std::map<std::string, double> figures;
  return figures;
}

void Drain() {
  Vextra::ExceptionManager& manager = Vextra::ExceptionManager::Instance();
  while (!manager.PopPreProcess().isEmpty) {
  }
  while (Vextra::PreprocessSemaphore().TryAcquireFor(std::chrono::milliseconds(0))) {
  }
}

void BM_ReportExceptionAsync(benchmark::State& state) {
  const std::string stack = Stack2K();
  const std::string extra = Extra1K();
  Vextra::SetDebugMode(false);
  Vextra::MarkInitialized();  // accepted, but no report thread takes them
  int64_t batch = 0;
  for (auto _ : state) {
    VX_ReportException(107, "ScriptError", "attempt to index a nil value", stack.c_str(), extra.c_str(), true,
                       nullptr);
    if (++batch == 4096) {
      state.PauseTiming();
      Drain();
      batch = 0;
      state.ResumeTiming();
    }
  }
  Drain();
  Vextra::testing_hooks::ResetInitializedForTesting();
}
BENCHMARK(BM_ReportExceptionAsync);

void BM_Md5OfStack(benchmark::State& state) {
  const std::string stack = Stack2K();
  unsigned char digest[MD5_DIGEST_LENGTH];
  for (auto _ : state) {
    MD5(reinterpret_cast<const unsigned char*>(stack.data()), stack.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
}
BENCHMARK(BM_Md5OfStack);

class KeepTimes : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) Figures()[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

// --- Throughput through the real collector ---------------------------------

constexpr int kThroughputReports = 2000;

int CountOf(const std::filesystem::path& db_file, const std::string& sql) {
  vextra_test::RawDb db(db_file);
  const std::string cell = db.Cell(sql);
  return cell.empty() ? -1 : std::stoi(cell);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reports per second of 2,000 asynchronous reports, from the first call until
// the last has its answer; the bodies the library kept are returned.
double LibraryThroughput(const std::string& address, const vextra_test::TempDir& dir,
                         std::vector<std::string>* bodies) {
  Vextra::CommonInfo::Instance().SetWorkspace(dir.wpath(), true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId("app-bench");
  if (!Vextra::IsInitialized()) return 0;
  const std::filesystem::path records = Vextra::platform::WideToUtf8(
      Vextra::DbManager::DbFilePath(Vextra::CommonInfo::Instance().GetDataDir()));
  const std::string stack = Stack2K();
  const std::string extra = Extra1K();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kThroughputReports; ++i) {
    VX_ReportException(107, "ScriptError", ("report " + std::to_string(i)).c_str(), stack.c_str(), extra.c_str(),
                       true, nullptr);
  }
  while (CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=1") < kThroughputReports) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  vextra_test::RawDb db(records);
  for (const std::string& path : db.Cells("SELECT PATH FROM T_CRASH_RECORD ORDER BY ID")) {
    bodies->push_back(ReadFileBytes(path));
  }
  return kThroughputReports / seconds;
}

// The same bodies posted with cpp-httplib alone: a new TLS client and
// connection per request, the protocol's path and content type.
double BarePostThroughput(const std::string& address, const std::vector<std::string>& bodies) {
  const auto start = std::chrono::steady_clock::now();
  int answered = 0;
  for (const std::string& body : bodies) {
    httplib::SSLClient client(address, 443);
    client.enable_server_certificate_verification(false);
    client.set_keep_alive(false);
    auto result = client.Post("/pb/async", body, "application/octet-stream");
    if (result && result->status == 200) ++answered;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return answered == static_cast<int>(bodies.size()) ? bodies.size() / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  KeepTimes reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto& figures = Figures();
  const double report = figures["BM_ReportExceptionAsync"];
  const double md5 = figures["BM_Md5OfStack"];
  if (report > 0 && md5 > 0) {
    std::printf("\nasync VX_ReportException (2 KiB stack, 1 KiB extra info): %.0f ns; MD5 of the stack: %.0f ns; "
                "ratio %.2fx (goal at most 3x)\n",
                report, md5, report / md5);
  }

  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    std::printf("throughput: no collector (%s)\n", why.c_str());
    return 0;
  }
  vextra_test::TempDir dir("vextra-report-bench");
  const std::string address = vextra_test::LoopbackAddress(2);
  vextra_test::CollectorProcess collector(address, dir.path(), {});
  if (!collector.Started()) {
    std::printf("throughput: %s\n", collector.Error().c_str());
    return 1;
  }
  std::vector<std::string> bodies;
  const double library = LibraryThroughput(address, dir, &bodies);
  const double bare = BarePostThroughput(address, bodies);
  collector.Stop();
  std::printf("throughput of %d async reports: library %.1f reports/s; bare TLS POST loop %.1f requests/s; "
              "ratio %.2fx (goal at least 0.5x)\n",
              kThroughputReports, library, bare, bare > 0 ? library / bare : 0.0);
  return 0;
}
