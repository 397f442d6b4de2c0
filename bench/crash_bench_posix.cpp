// Crash capture's cost on Linux, side by side with what it is held to: the
// time from a fault to the collector storing its crash report (the library's
// whole crash path: threads stopped, dump written, report built, stored and
// uploaded) against one HTTPS POST of the same body from the same kind of
// host without the library. Every figure comes from a fresh copy of
// vextra_crash_host_linux (timed inside it on the monotonic clock); the two
// take turns, so a slow moment of the machine falls on both, and the median
// of the runs is shown.
//   vextra_crash_bench_linux <libVextra64.so> <vextra_crash_host_linux> [runs]
// Needs the collector (VEXTRA_COLLECTOR or the built one).

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/raw_db.h"
#include "support/loopback_address.h"
#include "uploader/collector_process.h"

namespace {

namespace fs = std::filesystem;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Programs {
  fs::path library;
  fs::path host;
};

// Runs a fresh copy of the host in a directory of its own and returns the
// figure it wrote into host.facts; negative when it gave none.
double Measure(const Programs& programs, const fs::path& work, const std::string& address,
               const std::string& scenario, const std::string& argument, const std::string& figure) {
  static int run_number = 0;
  const fs::path dir = work / (scenario + "-" + std::to_string(++run_number));
  fs::create_directories(dir);
  fs::copy_file(programs.library, dir / "libVextra64.so");
  fs::copy_file(programs.host, dir / programs.host.filename());
  const std::string host = (dir / programs.host.filename()).string();
  const std::string library = (dir / "libVextra64.so").string();
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(93);
    execl(host.c_str(), host.c_str(), library.c_str(), scenario.c_str(), address.c_str(), argument.c_str(), nullptr);
    _exit(94);
  }
  int status = 0;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(child, &status, WNOHANG) == child) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  double value = -1;
  std::istringstream facts(ReadWhole(dir / "host.facts"));
  for (std::string line; std::getline(facts, line);) {
    if (line.rfind(figure + " ", 0) == 0) value = std::stod(line.substr(figure.size() + 1));
  }
  if (value < 0) std::printf("  %s gave no %s (status %d)\n", scenario.c_str(), figure.c_str(), status);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <libVextra64.so> <vextra_crash_host_linux> [runs]\n", argv[0]);
    return 2;
  }
  const Programs programs{fs::absolute(argv[1]), fs::absolute(argv[2])};
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    std::fprintf(stderr, "no collector: %s\n", why.c_str());
    return 1;
  }
  const fs::path work = fs::temp_directory_path() / ("vextra-crash-bench-" + std::to_string(getpid()));
  std::error_code ignored;
  fs::remove_all(work, ignored);
  fs::create_directories(work / "collector");
  const std::string address = vextra_test::LoopbackAddress(4);
  vextra_test::CollectorProcess collector(address, work / "collector", {});
  if (!collector.Started()) {
    std::fprintf(stderr, "the collector did not start: %s\n", collector.Error().c_str());
    return 1;
  }

  // The first fault's report gives the body the baseline posts.
  bool complete = true;
  std::vector<double> delivered;
  std::vector<double> baseline;
  const double first = Measure(programs, work, address, "bench-fault", "", "fault-to-stored-us");
  if (first < 0) complete = false; else delivered.push_back(first);
  std::string body;
  {
    vextra_test::RawDb db(collector.DbPath());
    body = db.Cell("SELECT body FROM requests WHERE cmd=830 ORDER BY id DESC LIMIT 1");
  }
  if (body.empty()) {
    std::printf("  no crash report reached the collector: no body for the baseline\n");
    complete = false;
  } else {
    const fs::path body_file = work / "crash-body.bin";
    std::ofstream(body_file, std::ios::binary).write(body.data(), static_cast<std::streamsize>(body.size()));
    for (int run = 0; run < runs; ++run) {
      const double bare = Measure(programs, work, address, "bench-baseline", body_file.string(), "baseline-us");
      if (bare < 0) complete = false; else baseline.push_back(bare);
      if (run + 1 == runs) break;  // the first fault run counts as one
      const double ours = Measure(programs, work, address, "bench-fault", "", "fault-to-stored-us");
      if (ours < 0) complete = false; else delivered.push_back(ours);
    }
    std::printf("\ncrash report body: %zu bytes\n", body.size());
  }
  collector.Stop();
  fs::remove_all(work, ignored);

  const double ours = Median(delivered);
  const double bare = Median(baseline);
  std::printf("\nFault to report stored by the collector (median of %d runs)\n", runs);
  std::printf("  %-40s %12s %10s %8s\n", "path", "ms", "ratio", "goal");
  std::printf("  %-40s %12.1f %10s %8s\n", "one HTTPS POST of the same body", bare / 1000, "1.000", "");
  std::printf("  %-40s %12.1f %10.3f %8s\n", "the library's crash path", ours / 1000, bare > 0 ? ours / bare : 0,
              "<= 1.5");
  return complete ? 0 : 1;
}
