// Crash capture's costs under Wine, each side by side with what it is held to:
// - a C++ throw/catch loop in a host with the library started (vectored
//   handling off, and on) against the same loop in a host without it;
// - the time from a fault to the collector storing its report against
//   MiniDumpWriteDump of the same host plus one HTTPS POST of the same body.
// Every figure comes from a fresh copy of vextra_crash_host (timed inside it
// with the performance counter); the median of the runs is shown.
//   vextra_crash_bench <Vextra64.dll> <vextra_crash_host.exe> <vextra_crash_module.dll> [runs]
// Needs VEXTRA_COLLECTOR (the Linux collector program).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "crash_host/crash_run.h"
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

// Figures from one fresh host run; a negative value for each the run did not give.
std::vector<double> MeasureAll(const vextra_test::HostPrograms& programs, const std::string& address,
                               const std::string& scenario, const std::string& argument,
                               const std::vector<std::string>& figures) {
  std::vector<double> values(figures.size(), -1);
  const fs::path dir = vextra_test::PrepareRunDir(programs, "bench-" + scenario + "-" + argument);
  if (dir.empty()) return values;
  std::fflush(stdout);
  const vextra_test::HostRun run = vextra_test::RunHost(dir, scenario, address, argument, 120000);
  for (size_t i = 0; i < figures.size(); ++i) {
    const std::string value = run.Fact(figures[i]);
    if (value.empty()) {
      std::printf("  %s %s gave no %s (exit code 0x%08lX)\n", scenario.c_str(), argument.c_str(),
                  figures[i].c_str(), static_cast<unsigned long>(run.exit_code));
      continue;
    }
    values[i] = std::stod(value);
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return values;
}

double Measure(const vextra_test::HostPrograms& programs, const std::string& address, const std::string& scenario,
               const std::string& argument, const std::string& figure) {
  return MeasureAll(programs, address, scenario, argument, {figure})[0];
}

struct Series {
  std::string name;
  std::vector<double> values;  // ns per throw
  std::vector<double> ratios;  // to the loop of the same process before the library was loaded
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <Vextra64.dll> <vextra_crash_host.exe> <vextra_crash_module.dll> [runs]\n",
                 argv[0]);
    return 2;
  }
  const vextra_test::HostPrograms programs{argv[1], argv[2], argv[3]};
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    std::fprintf(stderr, "no collector: %s\n", why.c_str());
    return 1;
  }
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const fs::path work = fs::path(temp) / ("vextra-crash-bench-" + std::to_string(GetCurrentProcessId()));
  std::error_code ignored;
  fs::remove_all(work, ignored);
  fs::create_directories(work);
  const std::string address = vextra_test::LoopbackAddress(3);
  vextra_test::CollectorProcess collector(address, work, {});
  if (!collector.Started()) {
    std::fprintf(stderr, "the collector did not start: %s\n", collector.Error().c_str());
    return 1;
  }
  bool complete = true;

  // Throw/catch: the three hosts take turns, so a slow moment of the machine
  // falls on all of them.
  std::vector<Series> throws = {{"none", {}}, {"lib", {}}, {"veh", {}}};
  for (int run = 0; run < runs; ++run) {
    for (Series& series : throws) {
      const std::vector<double> pair =
          MeasureAll(programs, address, "bench-throw", series.name, {"throw-ns-without", "throw-ns"});
      if (pair[0] <= 0 || pair[1] < 0) {
        complete = false;
        continue;
      }
      series.values.push_back(pair[1]);
      series.ratios.push_back(pair[1] / pair[0]);
    }
  }

  // Fault to stored report; its body then serves the baseline, and the two
  // take turns like the throw loops.
  std::vector<double> delivered;
  std::vector<double> baseline;
  {
    const double first = Measure(programs, address, "bench-fault", "", "fault-to-stored-us");
    if (first < 0) complete = false; else delivered.push_back(first);
    vextra_test::RawDb db(collector.DbPath());
    const std::string body = db.Cell("SELECT body FROM requests WHERE cmd=830 ORDER BY id DESC LIMIT 1");
    if (body.empty()) {
      std::printf("  no crash report reached the collector: no body for the baseline\n");
      complete = false;
    } else {
      const fs::path body_file = work / "crash-body.bin";
      std::ofstream(body_file, std::ios::binary).write(body.data(), static_cast<std::streamsize>(body.size()));
      for (int run = 0; run < runs; ++run) {
        const double bare = Measure(programs, address, "bench-baseline", body_file.string(), "baseline-us");
        if (bare < 0) complete = false; else baseline.push_back(bare);
        if (run + 1 == runs) break;  // the first fault run counts as one
        const double ours = Measure(programs, address, "bench-fault", "", "fault-to-stored-us");
        if (ours < 0) complete = false; else delivered.push_back(ours);
      }
      std::printf("\ncrash report body: %zu bytes\n", body.size());
    }
  }
  collector.Stop();

  const double none = Median(throws[0].values);
  std::printf("\nC++ throw/catch in a host (median of %d runs of 100000 each)\n", runs);
  std::printf("  ratio: to the host without the library; in-process: to the same process's loop before\n");
  std::printf("  the library was loaded (median, lowest and highest of the runs)\n");
  std::printf("  %-40s %10s %8s %24s %8s\n", "host", "ns/throw", "ratio", "in-process", "goal");
  const char* labels[] = {"without the library", "library started, vectored handling off",
                          "library started, vectored handling on"};
  for (size_t i = 0; i < throws.size(); ++i) {
    const double median = Median(throws[i].values);
    const std::vector<double>& r = throws[i].ratios;
    const double low = r.empty() ? 0 : *std::min_element(r.begin(), r.end());
    const double high = r.empty() ? 0 : *std::max_element(r.begin(), r.end());
    char in_process[64];
    std::snprintf(in_process, sizeof in_process, "%.3f (%.3f-%.3f)", Median(r), low, high);
    std::printf("  %-40s %10.1f %8.3f %24s %8s\n", labels[i], median, none > 0 ? median / none : 0, in_process,
                i == 0 ? "" : "<= 1.05");
  }
  const double ours = Median(delivered);
  const double bare = Median(baseline);
  std::printf("\nFault to report stored by the collector (median of %d runs)\n", runs);
  std::printf("  %-40s %12s %10s %8s\n", "path", "ms", "ratio", "goal");
  std::printf("  %-40s %12.1f %10s %8s\n", "MiniDumpWriteDump + one HTTPS POST", bare / 1000, "1.000", "");
  std::printf("  %-40s %12.1f %10.3f %8s\n", "the library's crash path", ours / 1000, bare > 0 ? ours / bare : 0,
              "<= 2");
  return complete ? 0 : 1;
}
