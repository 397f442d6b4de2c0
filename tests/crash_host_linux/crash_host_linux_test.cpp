// Crashes of a Linux host end to end: each case runs vextra_crash_host_linux
// (a host that loads libVextra64.so with dlopen and starts it against the
// collector) in a directory of its own, lets it crash in one way, and checks
// how the process ended, what the host saw (host.facts), the SDK log, the
// dump left beside the library and what the collector stored.
//   vextra_crash_host_linux_tests <libVextra64.so> <vextra_crash_host_linux> [gtest options]
// VEXTRA_CRASH_KEEP_RUNS=1 keeps every run's directory (failed runs are kept
// anyway). Needs the collector (VEXTRA_COLLECTOR or the built one).
// Each dump is checked by the dump checker (VEXTRA_DUMP_CHECK, or
// vextra-dump-check beside the collector) and opened by lldb-14.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/raw_db.h"
#include "support/inflate_whole.h"
#include "support/loopback_address.h"
#include "uploader/collector_process.h"

namespace {

namespace fs = std::filesystem;

fs::path g_library;
fs::path g_host;
std::unique_ptr<vextra_test::CollectorProcess> g_collector;
std::string g_address;

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

size_t Occurrences(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

struct HostRun {
  fs::path dir;
  bool ended = false;
  int status = 0;
  std::multimap<std::string, std::string> facts;
  std::string sdk_log;
  std::vector<std::string> request_ids;  // 830 requests stored during the run

  std::vector<std::string> Facts(const std::string& key) const {
    std::vector<std::string> values;
    for (auto [at, end] = facts.equal_range(key); at != end; ++at) values.push_back(at->second);
    return values;
  }
};

std::string LastRequestId() {
  vextra_test::RawDb db(g_collector->DbPath());
  const std::string last = db.Cell("SELECT coalesce(max(id), 0) FROM requests");
  return last.empty() ? "0" : last;
}

// A directory with the host, the library and its symbols, nothing else.
fs::path FreshDir(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("vextra-crash-linux-" + std::to_string(getpid())) / name;
  std::error_code error;
  fs::remove_all(dir, error);
  fs::create_directories(dir);
  fs::copy_file(g_host, dir / g_host.filename());
  fs::copy_file(g_library, dir / "libVextra64.so");
  const fs::path symbols = g_library.string() + ".debug";
  if (fs::exists(symbols)) fs::copy_file(symbols, dir / "libVextra64.so.debug");
  return dir;
}

HostRun RunHost(const std::string& name, const std::string& scenario) {
  HostRun run;
  run.dir = FreshDir(name);
  const std::string before = LastRequestId();
  const std::string host = (run.dir / g_host.filename()).string();
  const std::string library = (run.dir / "libVextra64.so").string();
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(run.dir.c_str()) != 0) _exit(93);
    execl(host.c_str(), host.c_str(), library.c_str(), scenario.c_str(), g_address.c_str(), nullptr);
    _exit(94);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(child, &run.status, WNOHANG) == child) {
      run.ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!run.ended) {
    kill(child, SIGKILL);
    waitpid(child, &run.status, 0);
  }
  std::istringstream facts(ReadWhole(run.dir / "host.facts"));
  for (std::string line; std::getline(facts, line);) {
    const size_t space = line.find(' ');
    if (space != std::string::npos) run.facts.emplace(line.substr(0, space), line.substr(space + 1));
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(run.dir / "VextraLog", error)) run.sdk_log += ReadWhole(entry.path());
  vextra_test::RawDb db(g_collector->DbPath());
  run.request_ids = db.Cells("SELECT id FROM requests WHERE cmd=830 AND id>" + before + " ORDER BY id");
  return run;
}

std::vector<fs::path> CrashDumps(const fs::path& dir) {
  static const std::regex kDumpName(R"(HcDump\.HcS\.\d+(-small)?\.dmp)");
  std::vector<fs::path> dumps;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir / "pxr64" / "dump", error)) {
    if (std::regex_match(entry.path().filename().string(), kDumpName)) dumps.push_back(entry.path());
  }
  return dumps;
}

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  return output;
}

fs::path DumpChecker() {
  if (const char* set = std::getenv("VEXTRA_DUMP_CHECK")) return set;
  std::string why;
  const fs::path beside = fs::path(vextra_test::CollectorProgram(&why)).parent_path() / "vextra-dump-check";
  return fs::exists(beside) ? beside : fs::path();
}

// What a debugger makes of a dump: LLDB with the host program and the
// library's separate symbols beside the dump's module paths.
void ExpectLldbReads(const HostRun& run, const fs::path& dump, const std::string& signal_name,
                     const std::string& crashing_function, size_t threads_at_least, bool library_threads) {
  if (RunCommand("command -v lldb-14").empty()) {
    ADD_FAILURE() << "lldb-14 is not installed (scripts/install_packages.sh installs it)";
    return;
  }
  // LLDB's batch mode needs its Python package on the path, or it hangs;
  // "lldb-14 -P" names a directory that does not hold it, the package's own
  // file list does.
  std::string python_path = RunCommand("dpkg -L python3-lldb-14 | grep '/lldb/__init__.py$' | head -n 1");
  python_path = python_path.substr(0, python_path.find("/lldb/__init__.py"));
  const std::string output = RunCommand("cd '" + run.dir.string() + "' && PYTHONPATH='" + python_path +
                                        "' timeout 120 lldb-14 --batch -o 'target create --core " + dump.string() +
                                        "' -o 'thread list' -o 'bt all' 2>&1");
  EXPECT_NE(output.find(signal_name), std::string::npos) << "LLDB names no " << signal_name << ":\n" << output;
  EXPECT_NE(output.find(crashing_function), std::string::npos) << "LLDB shows no " << crashing_function << ":\n"
                                                               << output;
  // The library's own threads wait inside it; a forked child has none of them.
  if (library_threads) {
    EXPECT_NE(output.find("libVextra64.so`"), std::string::npos) << "LLDB shows no named library frame:\n" << output;
  }
  // Every thread of the host: listed by "thread list" and again by "bt all".
  EXPECT_GE(Occurrences(output, "thread #"), 2 * threads_at_least) << output;
}

struct Scenario {
  const char* name;
  const char* signal_name;  // as LLDB names the stop reason
  int end_signal;           // the signal that ends the host, 0 when it exits
  int exit_code;            // its exit status otherwise
  int reports;              // crash reports delivered
  const char* crashing_function;
  size_t threads;           // threads of the host when it crashed
  bool library_threads = true;  // the library's own threads run in the crashing process
};

// A delivered crash: one 830 report of type 101 under the callback's GUID,
// one send step in the SDK log, the dump beside the library and its upload.
void ExpectDeliveredCrash(const HostRun& run, const Scenario& scenario) {
  const std::vector<std::string> calls = run.Facts("callback");
  ASSERT_EQ(calls.size(), 1u) << "crash callback calls";
  std::smatch match;
  static const std::regex kCall(R"(1 ([0-9A-F]{32}))");
  ASSERT_TRUE(std::regex_match(calls[0], match, kCall)) << calls[0];
  const std::string guid = match[1].str();
  ASSERT_EQ(run.request_ids.size(), 1u) << "830 requests stored during the run";
  vextra_test::RawDb db(g_collector->DbPath());
  const std::string report = db.Cell("SELECT id FROM reports WHERE request_id=" + run.request_ids[0]);
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(db.Cells("SELECT type, expName, ehType, expuid FROM reports WHERE id=" + report),
            std::vector<std::string>({"101", "crash", "2", guid}));
  EXPECT_EQ(Occurrences(run.sdk_log, "Generated guid is " + guid + "\n"), 1u);
  EXPECT_EQ(Occurrences(run.sdk_log, "Generated guid is "), 1u) << "one send step";

  const std::vector<fs::path> dumps = CrashDumps(run.dir);
  ASSERT_EQ(dumps.size(), 1u) << "dumps in pxr64/dump beside the library";
  bool inflated = false;
  const std::string sent = vextra_test::Gunzip(
      db.Cell("SELECT data FROM attachments WHERE fileName='minidump.zip' AND report_id=" + report), &inflated);
  ASSERT_TRUE(inflated) << "minidump.zip is one gzip stream";
  const std::string on_disk = ReadWhole(dumps[0]);
  EXPECT_TRUE(sent == on_disk) << "the uploaded dump differs from " << dumps[0];
  ASSERT_GE(on_disk.size(), 4u);
  EXPECT_EQ(on_disk.substr(0, 4), "MDMP");
  const fs::path checker = DumpChecker();
  ASSERT_FALSE(checker.empty()) << "vextra-dump-check is not built beside the collector";
  const std::string output = RunCommand("'" + checker.string() + "' '" + dumps[0].string() + "'; echo rc=$?");
  EXPECT_NE(output.find("rc=0"), std::string::npos) << output;
  ExpectLldbReads(run, dumps[0], scenario.signal_name, scenario.crashing_function, scenario.threads,
                  scenario.library_threads);
}

class CrashHostLinux : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_address = vextra_test::LoopbackAddress(71);
    const fs::path work = fs::temp_directory_path() / ("vextra-crash-linux-collector-" + std::to_string(getpid()));
    fs::create_directories(work);
    g_collector = std::make_unique<vextra_test::CollectorProcess>(g_address, work, std::vector<std::string>{});
  }
  static void TearDownTestSuite() { g_collector.reset(); }
  void SetUp() override {
    if (!g_collector->Started()) {
      if (vextra_test::CollectorRequired()) FAIL() << "no collector: " << g_collector->Error();
      GTEST_SKIP() << "no collector: " << g_collector->Error();
    }
  }
};

TEST_F(CrashHostLinux, EachWayOfCrashingDeliversOneReport) {
  static const Scenario kScenarios[] = {
      {"null-write", "SIGSEGV", SIGSEGV, 0, 1, "CrashHostNullWrite", 1},
      {"abort", "SIGABRT", SIGABRT, 0, 1, "RunScenario", 1},
      {"divide", "SIGFPE", SIGFPE, 0, 1, "CrashHostDivide", 1},
      {"illegal", "SIGILL", SIGILL, 0, 1, "CrashHostIllegal", 1},
      {"bus", "SIGBUS", SIGBUS, 0, 1, "CrashHostBusError", 1},
      {"stack-overflow", "SIGSEGV", SIGSEGV, 0, 1, "CrashHostRecurse", 1},
      {"second-thread", "SIGSEGV", SIGSEGV, 0, 1, "CrashHostNullWrite", 10},
      {"eight-threads", "SIGSEGV", SIGSEGV, 0, 1, "CrashHostNullWrite", 9},
      // The host's own handler, installed before the library's, runs after the dump.
      {"host-handler", "SIGSEGV", 0, 42, 1, "CrashHostNullWrite", 1},
  };
  for (const Scenario& scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    const HostRun run = RunHost(scenario.name, scenario.name);
    ASSERT_TRUE(run.ended) << "the host did not end within 120 s";
    EXPECT_EQ(run.Facts("started").size(), 1u);
    if (scenario.end_signal != 0) {
      ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
      EXPECT_EQ(WTERMSIG(run.status), scenario.end_signal);
    } else {
      ASSERT_TRUE(WIFEXITED(run.status)) << "status " << run.status;
      EXPECT_EQ(WEXITSTATUS(run.status), scenario.exit_code);
    }
    if (std::string(scenario.name) == "host-handler") EXPECT_EQ(run.Facts("host-handler").size(), 1u);
    ExpectDeliveredCrash(run, scenario);
    if (!HasFailure() && std::getenv("VEXTRA_CRASH_KEEP_RUNS") == nullptr) fs::remove_all(run.dir);
  }
}

TEST_F(CrashHostLinux, NoReportWhenNotStartedOrSwitchedOff) {
  static const char* const kScenarios[] = {"not-started", "marker"};
  for (const char* scenario : kScenarios) {
    SCOPED_TRACE(scenario);
    const HostRun run = RunHost(scenario, scenario);
    ASSERT_TRUE(run.ended);
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
    EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
    EXPECT_TRUE(run.request_ids.empty());
    EXPECT_TRUE(run.Facts("callback").empty());
    EXPECT_TRUE(CrashDumps(run.dir).empty());
    if (std::string(scenario) == "marker") {
      EXPECT_NE(run.sdk_log.find("HCSPY DO NOT WORK FOR CONFIG\n"), std::string::npos) << run.sdk_log;
    }
    if (!HasFailure() && std::getenv("VEXTRA_CRASH_KEEP_RUNS") == nullptr) fs::remove_all(run.dir);
  }
}

TEST_F(CrashHostLinux, ForkedChildSendsItsOwnReportAndTheParentGoesOn) {
  const HostRun run = RunHost("fork-child", "fork-child");
  ASSERT_TRUE(run.ended);
  ASSERT_TRUE(WIFEXITED(run.status)) << "status " << run.status;
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(run.Facts("child-ended-by-signal"), std::vector<std::string>{std::to_string(SIGSEGV)});
  EXPECT_EQ(run.Facts("parent"), std::vector<std::string>{"goes-on"});
  // The child holds only the thread that forked: none of the library's threads.
  const Scenario child{"fork-child", "SIGSEGV", SIGSEGV, 0, 1, "CrashHostNullWrite", 1, false};
  ExpectDeliveredCrash(run, child);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <libVextra64.so> <vextra_crash_host_linux> [gtest options]\n", argv[0]);
    return 2;
  }
  g_library = fs::absolute(argv[1]);
  g_host = fs::absolute(argv[2]);
  return RUN_ALL_TESTS();
}
