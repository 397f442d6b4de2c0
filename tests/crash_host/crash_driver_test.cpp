// Crashes under Wine, end to end: each case runs vextra_crash_host (a host that
// loads Vextra64.dll with LoadLibrary and starts it against the collector) in
// a directory of its own, lets it crash in one way, and checks what the
// library left there (the dump in "pxr64\dump" beside the DLL and its ".gz",
// the crash record in its database, the SDK log), what the host saw (its
// facts file: the GUID the crash callback got, the faulting thread, which of
// its filters ran) and what the collector stored.
//   vextra_crash_host_tests <Vextra64.dll> <vextra_crash_host.exe> <vextra_crash_module.dll>
//                           [--full] [gtest options]
// VEXTRA_CRASH_KEEP_RUNS=1 keeps every run's directory (failed runs are kept anyway).
// --full runs the repeated cases as often as a release asks (10, 20 and 50
// runs); without it they run a few times each. Needs VEXTRA_COLLECTOR.

#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "crash_host/crash_run.h"
#include "crash_host/minidump_reader.h"
#include "db/raw_db.h"
#include "support/loopback_address.h"
#include "uploader/collector_process.h"
#include "support/inflate_whole.h"

namespace {

using vextra_test::HostRun;
namespace fs = std::filesystem;

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kStackOverflow = 0xC00000FD;
constexpr uint32_t kManualCrash = 0x6000AAAA;
constexpr uint32_t kThrownObject = 0xE06D7363;
constexpr uintmax_t kSmallDumpThreshold = 3145728;
constexpr DWORD kRunTimeoutMs = 120000;
constexpr DWORD kEightThreadsTimeoutMs = 30000;

vextra_test::HostPrograms g_programs;
bool g_full_runs = false;
std::unique_ptr<vextra_test::CollectorProcess> g_collector;
std::string g_address;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Gunzip(const std::string& data, bool* ok) { return vextra_test::Gunzip(data, ok); }

// Files of the default dump directory, by name.
std::vector<std::string> DumpDirectoryNames(const fs::path& run_dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(run_dir / "pxr64" / "dump", error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> CrashDumpNames(const fs::path& run_dir, bool small = false) {
  static const std::regex kDumpName(R"(HcDump\.HcS\.\d+\.dmp)");
  static const std::regex kSmallName(R"(HcDump\.HcS\.\d+-small\.dmp)");
  std::vector<std::string> dumps;
  for (const std::string& name : DumpDirectoryNames(run_dir)) {
    if (std::regex_match(name, small ? kSmallName : kDumpName)) dumps.push_back(name);
  }
  return dumps;
}

std::string SdkLogOf(const HostRun& run) {
  const std::string suffix = "." + std::to_string(run.process_id) + ".log";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(run.dir / "VextraLog", error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return vextra_test::ReadWholeFile(entry.path());
    }
  }
  return {};
}

// The end of a log for a failure message; a busy host's log runs to megabytes.
std::string Tail(const std::string& log) {
  constexpr size_t kShown = 6000;
  return log.size() <= kShown ? log : "[...]" + log.substr(log.size() - kShown);
}

size_t Occurrences(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

// One host run and the 830 requests the collector stored meanwhile.
struct Outcome {
  HostRun host;
  std::vector<std::string> request_ids;  // cmd 830, in arrival order
  std::string sdk_log;
};

std::string LastRequestId() {
  vextra_test::RawDb db(g_collector->DbPath());
  const std::string last = db.Cell("SELECT coalesce(max(id), 0) FROM requests");
  return last.empty() ? "0" : last;
}

Outcome RunIn(const fs::path& dir, const std::string& scenario, const std::string& argument = "",
              DWORD timeout_ms = kRunTimeoutMs) {
  Outcome outcome;
  const std::string before = LastRequestId();
  std::fflush(stdout);
  outcome.host = vextra_test::RunHost(dir, scenario, g_address, argument, timeout_ms);
  vextra_test::RawDb db(g_collector->DbPath());
  outcome.request_ids = db.Cells("SELECT id FROM requests WHERE cmd=830 AND id>" + before + " ORDER BY id");
  outcome.sdk_log = SdkLogOf(outcome.host);
  return outcome;
}

fs::path FreshDir(const std::string& name) {
  const fs::path dir = vextra_test::PrepareRunDir(g_programs, name);
  EXPECT_FALSE(dir.empty()) << "cannot prepare a run directory for " << name;
  return dir;
}

// The GUID the crash callback received, checked to have come exactly once
// with kind 1 and the GUID form; "" when it did not.
std::string CallbackGuid(const HostRun& host) {
  const std::vector<std::string> calls = host.Facts("callback");
  EXPECT_EQ(calls.size(), 1u) << "crash callback calls";
  if (calls.size() != 1) return {};
  static const std::regex kCall(R"(1 ([0-9A-F]{32}))");
  std::smatch match;
  EXPECT_TRUE(std::regex_match(calls[0], match, kCall)) << calls[0];
  return match.size() == 2 ? match[1].str() : std::string();
}

// A crash that reached the collector: one 830 request whose report carries the
// callback's GUID, the kind, and a minidump that is the dump left on disk and
// names the exception code (unless code is 0) and a faulting thread of the host.
// ring_marker: the ring's line before the crash must still be in
// "vextraLog.zip" (a host that logs without pause pushes it out of the ring).
// A full dump above 3 MiB has a small companion, which is the one sent.
// minidump: when given, receives the delivered minidump's bytes.
void ExpectDeliveredCrash(const Outcome& outcome, int eh_type, uint32_t code, const std::string& value_line = "",
                          bool ring_marker = true, std::string* minidump_out = nullptr) {
  const std::string guid = CallbackGuid(outcome.host);
  ASSERT_EQ(outcome.request_ids.size(), 1u) << "830 requests stored during the run";
  vextra_test::RawDb db(g_collector->DbPath());
  const std::string report =
      db.Cell("SELECT id FROM reports WHERE request_id=" + outcome.request_ids[0]);
  ASSERT_FALSE(report.empty()) << "the 830 request decoded into a report";
  EXPECT_EQ(db.Cells("SELECT type, expName, ehType, expuid FROM reports WHERE id=" + report),
            std::vector<std::string>({"101", "crash", std::to_string(eh_type), guid}));

  const fs::path dump_dir = outcome.host.dir / "pxr64" / "dump";
  const std::vector<std::string> full = CrashDumpNames(outcome.host.dir);
  ASSERT_EQ(full.size(), 1u) << "dumps in pxr64\\dump beside the DLL";
  std::error_code error;
  const bool small = fs::file_size(dump_dir / full[0], error) > kSmallDumpThreshold;
  const std::vector<std::string> dumps = small ? CrashDumpNames(outcome.host.dir, true) : full;
  ASSERT_EQ(dumps.size(), 1u) << "small companions of a dump above 3 MiB";
  if (!small) EXPECT_TRUE(CrashDumpNames(outcome.host.dir, true).empty()) << "a small companion of a dump within 3 MiB";
  const std::vector<std::string> names = DumpDirectoryNames(outcome.host.dir);
  EXPECT_TRUE(std::count(names.begin(), names.end(), dumps[0] + ".gz") == 1) << "no " << dumps[0] << ".gz";

  bool inflated = false;
  const std::string minidump = Gunzip(
      db.Cell("SELECT data FROM attachments WHERE fileName='minidump.zip' AND report_id=" + report), &inflated);
  ASSERT_TRUE(inflated) << "minidump.zip is one gzip stream";
  EXPECT_TRUE(minidump == vextra_test::ReadWholeFile(dump_dir / dumps[0]))
      << "the uploaded minidump differs from " << dumps[0];
  vextra_test::MinidumpException exception;
  std::string why;
  ASSERT_TRUE(vextra_test::ReadMinidumpException(minidump, &exception, &why)) << why;
  if (minidump_out != nullptr) *minidump_out = minidump;
  if (code != 0) EXPECT_EQ(Hex(exception.code), Hex(code));
  const std::vector<std::string> threads = outcome.host.Facts("crash-thread");
  EXPECT_TRUE(std::count(threads.begin(), threads.end(), std::to_string(exception.thread_id)) == 1)
      << "the dump's faulting thread " << exception.thread_id << " is not a crashing thread of the host";

  const std::string ring =
      db.Cell("SELECT content FROM attachments WHERE fileName='vextraLog.zip' AND inflated=1 AND report_id=" + report);
  if (ring_marker) EXPECT_NE(ring.find(vextra_test::kRingMarker), std::string::npos) << "vextraLog.zip lacks the ring's line";
  if (!value_line.empty()) {
    const std::string values = db.Cell(
        "SELECT content FROM attachments WHERE fileName='valueOtherMap.zip' AND inflated=1 AND report_id=" + report);
    EXPECT_NE(values.find(value_line + "\n"), std::string::npos) << "user values:\n" << values;
  }

  vextra_test::RawDb records(outcome.host.dir / "lumaro" / "vextra_data" / "vextra_data_db");
  EXPECT_EQ(records.Cells("SELECT STATUS, UPLOADABLE FROM T_CRASH_RECORD WHERE GUID='" + guid + "'"),
            std::vector<std::string>({"1", "1"}))
      << "the crash record: sent, uploadable";
}

void ExpectNoCrashReport(const Outcome& outcome) {
  EXPECT_TRUE(outcome.host.Facts("callback").empty()) << "the crash callback ran";
  EXPECT_TRUE(outcome.request_ids.empty()) << outcome.request_ids.size() << " crash reports arrived";
  EXPECT_TRUE(CrashDumpNames(outcome.host.dir).empty()) << "a dump was written";
}

// Failed checks so far in the running test.
int FailedParts() {
  const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i) failed += result->GetTestPartResult(i).failed() ? 1 : 0;
  return failed;
}

// A run done: its directory goes unless a check failed (kept for a look).
void CleanUp(const fs::path& dir, bool keep = ::testing::Test::HasFailure()) {
  if (keep || std::getenv("VEXTRA_CRASH_KEEP_RUNS") != nullptr) {
    std::printf("     kept %s\n", dir.string().c_str());
    return;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

// ---- single crashes ------------------------------------------------------

struct CrashCase {
  const char* scenario;
  const char* file_beside;   // a file the driver writes into the run directory first, or ""
  const char* file_text;
  uint32_t exit_code;        // 0: not checked
  bool report;               // a crash report arrives
  int eh_type;
  uint32_t code;             // the minidump's exception code; 0: not checked
  const char* value_line;    // a line of the report's user values, or ""
  const char* host_filter;   // the host filter that ran, or "" for none
  std::vector<std::pair<const char*, const char*>> facts;
  std::vector<const char*> log_has;
  std::vector<const char*> log_lacks;
};

const CrashCase kCrashCases[] = {
    // The host's filter, set before start-up, runs after processing and resumes.
    {"native-crash", "", "", vextra_test::kResumedExitCode, true, 2, kAccessViolation, "", "before-start", {},
     {"VEH Filter is closed.", "Crash Processing Finished."}, {}},
    {"filter-after-start", "", "", vextra_test::kResumedExitCode, true, 2, kAccessViolation, "", "after-start",
     {{"previous-is-before-start-filter", "1"}, {"second-call-returns-first-argument", "1"}},
     {"SetUnhandledExceptionFilter Called"}, {}},
    // With no filter of the host's left, the library's returns 1: the process ends with the code.
    {"filter-null-after-start", "", "", kAccessViolation, true, 2, kAccessViolation, "", "",
     {{"previous-is-before-start-filter", "1"}, {"second-call-returns-first-argument", "1"}}, {}, {}},
    {"veh-unhandled", "", "", kAccessViolation, true, 1, kAccessViolation, "", "", {}, {"Vector Ex Start"}, {}},
    {"veh-caught-cpp", "", "", 0, false, 0, 0, "", "", {{"caught", "20"}}, {"Exception occured."}, {}},
    {"badptr", "", "", kAccessViolation, false, 0, 0, "", "", {{"probe-held", "1"}}, {"Exception in BadPtr"}, {}},
    {"marker-file", "HexaCubStat.ini", "", vextra_test::kResumedExitCode, false, 0, 0, "", "before-start", {},
     {"HCSPY DO NOT WORK FOR CONFIG"}, {"SET UNHANDLE EXCEPTION RETURN FUNC"}},
    // Named in capitals; the loader reports the module in lower case.
    {"ignored-module", "VextraConfig64.dat", "<IgnoreDlls>VEXTRA_CRASH_MODULE.DLL</IgnoreDlls>\n", kAccessViolation,
     false, 0, 0, "", "", {}, {"ADD IGNORE MODULE"}, {}},
    // The C runtime's reports, thrown as the integer 1 that no frame of the host catches.
    {"invalid-parameter", "", "", kThrownObject, true, 2, kThrownObject, "Exception Type=invalidParameer", "", {},
     {"HcInvalidParameterHandler"}, {}},
    {"pure-call", "", "", kThrownObject, true, 2, kThrownObject, "Exception Type=PureCall", "", {},
     {"HcPureCallHandler"}, {}},
};

void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.scenario; }

class CrashHost : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashHost, LeavesWhatTheCaseExpects) {
  const CrashCase& c = GetParam();
  const fs::path dir = FreshDir(c.scenario);
  ASSERT_FALSE(dir.empty());
  if (*c.file_beside != '\0') std::ofstream(dir / c.file_beside) << c.file_text;
  const Outcome outcome = RunIn(dir, c.scenario);
  ASSERT_TRUE(outcome.host.ended) << "the host did not end within " << kRunTimeoutMs << " ms";
  EXPECT_EQ(outcome.host.Fact("started"), "1") << "the host started the library";
  if (c.exit_code != 0) EXPECT_EQ(Hex(outcome.host.exit_code), Hex(c.exit_code)) << "exit code";
  EXPECT_EQ(outcome.host.Facts("host-filter"),
            *c.host_filter ? std::vector<std::string>{c.host_filter} : std::vector<std::string>{})
      << "the host's own filters that ran";
  for (const auto& [key, value] : c.facts) EXPECT_EQ(outcome.host.Fact(key), value) << key;
  for (const char* line : c.log_has) EXPECT_NE(outcome.sdk_log.find(line), std::string::npos) << line;
  for (const char* line : c.log_lacks) EXPECT_EQ(outcome.sdk_log.find(line), std::string::npos) << line;
  if (c.report) {
    ExpectDeliveredCrash(outcome, c.eh_type, c.code, c.value_line);
  } else {
    ExpectNoCrashReport(outcome);
  }
  if (HasFailure()) std::printf("---- SDK log of %s ----\n%s\n", c.scenario, Tail(outcome.sdk_log).c_str());
  CleanUp(dir);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CrashHost, ::testing::ValuesIn(kCrashCases),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                           std::string name = info.param.scenario;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// Vectored handling on, so the fault is seen however the loader treats it: a
// module's exit handler faults after the process began to exit (its marker
// file shows the handler ran), and nothing is captured.
TEST(CrashHostExit, FaultInAnExitHandlerHappensAndLeavesNoDump) {
  const fs::path dir = FreshDir("exit-fault");
  ASSERT_FALSE(dir.empty());
  const Outcome outcome = RunIn(dir, "exit-fault");
  ASSERT_TRUE(outcome.host.ended);
  EXPECT_EQ(outcome.host.Fact("armed"), "1");
  EXPECT_TRUE(fs::exists(dir / "exit-fault.reached")) << "the module's exit handler did not run";
  ExpectNoCrashReport(outcome);
  if (HasFailure()) std::printf("---- SDK log ----\n%s\n", Tail(outcome.sdk_log).c_str());
  CleanUp(dir);
}

// Two manual reports in a row with vectored handling on: both calls return,
// the first gives a dump of the manual code, the second is refused within 30 s.
TEST(CrashHostManual, ReportCrashReturnsAndASecondWithin30sIsRefused) {
  const fs::path dir = FreshDir("veh-report-crash");
  ASSERT_FALSE(dir.empty());
  const Outcome outcome = RunIn(dir, "veh-report-crash");
  ASSERT_TRUE(outcome.host.ended);
  EXPECT_EQ(outcome.host.exit_code, 0u);
  EXPECT_EQ(outcome.host.Fact("first-report-returned"), "1");
  EXPECT_EQ(outcome.host.Fact("second-report-returned"), "1");
  ExpectDeliveredCrash(outcome, 1, kManualCrash);
  // The window test logs only when it lets a manual report through.
  EXPECT_EQ(Occurrences(outcome.sdk_log, "Current time is"), 1u) << Tail(outcome.sdk_log);
  CleanUp(dir);
}

// The dump type with every kind of content, and 8 MiB in use: the full dump
// passes 3 MiB and stays on disk, the small companion is what is uploaded.
TEST(CrashHostDumpType, FullDumpAbove3MiBSendsTheSmallCompanion) {
  const fs::path dir = FreshDir("full-dump-type");
  ASSERT_FALSE(dir.empty());
  const Outcome outcome = RunIn(dir, "full-dump-type", "", 3 * kRunTimeoutMs);
  ASSERT_TRUE(outcome.host.ended);
  EXPECT_EQ(Hex(outcome.host.exit_code), Hex(kAccessViolation));
  const std::vector<std::string> full = CrashDumpNames(dir);
  ASSERT_EQ(full.size(), 1u);
  std::error_code error;
  EXPECT_GT(fs::file_size(dir / "pxr64" / "dump" / full[0], error), kSmallDumpThreshold) << "the full dump";
  EXPECT_EQ(CrashDumpNames(dir, true).size(), 1u) << "its small companion";
  ExpectDeliveredCrash(outcome, 2, kAccessViolation);
  CleanUp(dir);
}

// Crash uploads off: the crash is kept on disk, recorded as not uploadable
// and not sent; the next start sends it once when the host asks by GUID.
TEST(CrashHostWithheld, WithheldCrashIsSentOnceWhenAskedByGuid) {
  const fs::path dir = FreshDir("uploads-off");
  ASSERT_FALSE(dir.empty());
  const Outcome crashed = RunIn(dir, "uploads-off");
  ASSERT_TRUE(crashed.host.ended);
  EXPECT_EQ(Hex(crashed.host.exit_code), Hex(kAccessViolation));
  const std::string guid = CallbackGuid(crashed.host);
  ASSERT_FALSE(guid.empty());
  EXPECT_TRUE(crashed.request_ids.empty()) << "a withheld crash was sent";
  EXPECT_EQ(CrashDumpNames(dir).size(), 1u);
  const fs::path records = dir / "lumaro" / "vextra_data" / "vextra_data_db";
  {
    vextra_test::RawDb db(records);
    EXPECT_EQ(db.Cells("SELECT STATUS, UPLOADABLE FROM T_CRASH_RECORD WHERE GUID='" + guid + "'"),
              std::vector<std::string>({"0", "0"}));
  }

  const Outcome asked = RunIn(dir, "upload-with-guid", guid);
  ASSERT_TRUE(asked.host.ended);
  EXPECT_EQ(asked.host.exit_code, 0u);
  EXPECT_EQ(asked.host.Fact("upload-with-guid-returned"), "1");
  ASSERT_EQ(asked.request_ids.size(), 1u) << "crash reports sent after the call";
  vextra_test::RawDb db(g_collector->DbPath());
  EXPECT_EQ(db.Cells("SELECT type, expName, ehType, expuid FROM reports WHERE request_id=" + asked.request_ids[0]),
            std::vector<std::string>({"101", "crash", "2", guid}));
  {
    vextra_test::RawDb after(records);
    EXPECT_EQ(after.Cell("SELECT STATUS FROM T_CRASH_RECORD WHERE GUID='" + guid + "'"), "1");
  }
  CleanUp(dir);
}

// ---- repeated runs ---------------------------------------------------------

int Runs(int quick, int full) { return g_full_runs ? full : quick; }

// Runs a scenario the given number of times, each in a fresh directory, and
// counts the runs in which check found no fault.
// name: the runs' directories; host_scenario and argument: what the host is
// asked to do (by default the scenario itself, no argument).
template <typename Check>
void RepeatScenario(const std::string& scenario, int runs, DWORD timeout_ms, Check check,
                    const std::string& host_scenario = "", const std::string& argument = "") {
  int good = 0;
  for (int run = 1; run <= runs; ++run) {
    const fs::path dir = FreshDir(scenario + "-" + std::to_string(run));
    ASSERT_FALSE(dir.empty());
    const DWORD started = GetTickCount();
    const Outcome outcome = RunIn(dir, host_scenario.empty() ? scenario : host_scenario, argument, timeout_ms);
    const DWORD elapsed = GetTickCount() - started;
    const int failed_before = FailedParts();
    {
      ::testing::ScopedTrace trace(__FILE__, __LINE__, scenario + " run " + std::to_string(run));
      check(outcome);
    }
    const bool ok = FailedParts() == failed_before;
    std::printf("     %s run %d: %s in %lu ms, exit code %s, %zu crash reports\n", scenario.c_str(), run,
                outcome.host.ended ? "ended" : "KILLED", static_cast<unsigned long>(elapsed),
                Hex(outcome.host.exit_code).c_str(), outcome.request_ids.size());
    if (ok) ++good;
    if (!ok) std::printf("---- SDK log ----\n%s\n", Tail(outcome.sdk_log).c_str());
    CleanUp(dir, !ok);
  }
  std::printf("     %s: %d of %d runs good\n", scenario.c_str(), good, runs);
  EXPECT_EQ(good, runs);
}

// The dump of an overflow shows the overflowing thread as a debugger needs
// it: in the thread list, with its registers at the fault and the top of its
// stack. The thread that wrote the dump is not in it: where the system gives
// the writing thread the exception's registers, it would be a second thread
// at the fault, carrying its own whole stack.
void ExpectOverflowingThreadInDump(const std::string& minidump) {
  vextra_test::MinidumpException exception;
  std::vector<vextra_test::MinidumpThread> threads;
  std::string why;
  ASSERT_TRUE(vextra_test::ReadMinidumpException(minidump, &exception, &why)) << why;
  ASSERT_TRUE(vextra_test::ReadMinidumpThreads(minidump, &threads, &why)) << why;
  EXPECT_EQ(exception.rip, exception.address) << "the exception's registers are not at the fault";
  const auto faulting = std::find_if(threads.begin(), threads.end(), [&](const vextra_test::MinidumpThread& thread) {
    return thread.thread_id == exception.thread_id;
  });
  ASSERT_NE(faulting, threads.end()) << "the thread list (" << threads.size() << " threads) lacks the faulting thread "
                                     << exception.thread_id;
  EXPECT_EQ(faulting->rip, exception.rip) << "the faulting thread's registers are not those at the fault";
  EXPECT_EQ(faulting->rsp, exception.rsp);
  EXPECT_TRUE(faulting->stack_start <= exception.rsp && exception.rsp < faulting->stack_start + faulting->stack_size)
      << "the faulting thread's stack memory [" << faulting->stack_start << ", +" << faulting->stack_size
      << ") lacks the top of the stack at " << exception.rsp;
  EXPECT_LE(uint64_t{faulting->stack_rva} + faulting->stack_size, minidump.size()) << "stack bytes beyond the file";
  const auto at_fault = std::count_if(threads.begin(), threads.end(), [&](const vextra_test::MinidumpThread& thread) {
    return thread.rip == exception.rip && thread.rsp == exception.rsp;
  });
  EXPECT_EQ(at_fault, 1) << "threads recorded with the fault's registers";
}

// Seconds from the crash report's arrival at the collector to the host's end.
int64_t SecondsFromDeliveryToEnd(const Outcome& outcome) {
  if (outcome.request_ids.empty()) return -1;
  vextra_test::RawDb db(g_collector->DbPath());
  const std::string received = db.Cell("SELECT received_at FROM requests WHERE id=" + outcome.request_ids[0]);
  return outcome.host.exit_unix_seconds - std::stoll(received.empty() ? "0" : received);
}

// An unhandled overflow on the host's main thread, without and with a host
// filter (set after start-up, answering "continue search"): the report
// arrives with a dump worth opening, and the process then ends with the
// overflow's code within 10 s.
TEST(CrashHostRepeated, StackOverflowIsReported) {
  for (const char* scenario : {"stack-overflow", "stack-overflow-host-filter"}) {
    const bool host_filter = std::string(scenario) == "stack-overflow-host-filter";
    RepeatScenario(scenario, Runs(2, 10), 2 * kRunTimeoutMs, [&](const Outcome& outcome) {
      ASSERT_TRUE(outcome.host.ended);
      EXPECT_EQ(Hex(outcome.host.exit_code), Hex(kStackOverflow));
      EXPECT_EQ(outcome.host.Facts("host-filter"),
                host_filter ? std::vector<std::string>{"continue-search"} : std::vector<std::string>{});
      std::string minidump;
      ExpectDeliveredCrash(outcome, 2, kStackOverflow, "", true, &minidump);
      ExpectOverflowingThreadInDump(minidump);
      const int64_t seconds = SecondsFromDeliveryToEnd(outcome);
      EXPECT_TRUE(seconds >= 0 && seconds <= 10) << "the process ended " << seconds << " s after the report arrived";
    });
  }
}

// Without the library started an overflow is the system's: the host ends as
// it does without the library at all, and nothing is reported.
TEST(CrashHostOverflow, BeforeStartUpTheSystemHandlesIt) {
  const fs::path without_dir = FreshDir("stack-overflow-no-library");
  const fs::path loaded_dir = FreshDir("stack-overflow-not-started");
  ASSERT_FALSE(without_dir.empty() || loaded_dir.empty());
  const Outcome without = RunIn(without_dir, "stack-overflow-no-library");
  const Outcome loaded = RunIn(loaded_dir, "stack-overflow-not-started");
  ASSERT_TRUE(without.host.ended && loaded.host.ended);
  std::printf("     overflow without the library: exit code %s\n", Hex(without.host.exit_code).c_str());
  EXPECT_EQ(Hex(loaded.host.exit_code), Hex(without.host.exit_code));
  EXPECT_FALSE(loaded.host.Fact("crash-thread").empty()) << "the host did not reach its overflow";
  ExpectNoCrashReport(loaded);
  CleanUp(without_dir);
  CleanUp(loaded_dir);
}

// A host that catches its own overflow with __try/__except (MSVC ABI) and
// resets its guard page, on its main thread and on a second thread. What the
// system makes of it without the library is the measure. Where the handler
// runs (Windows), the started host goes on just the same, unreported. Where
// it cannot (Wine 8 ends the thread on the exhausted stack): a second thread
// ends and the host goes on as without the library, unreported; the main
// thread is one the host cannot go on without, so that overflow is unhandled
// in effect and is reported like one (the process then ends with its code
// instead of hanging on the library's own threads).
TEST(CrashHostRepeated, HostCatchingItsOwnOverflowEndsAsWithoutTheLibrary) {
  for (const char* where : {"main", "thread"}) {
    SCOPED_TRACE(where);
    const fs::path base_dir = FreshDir(std::string("seh-overflow-no-library-") + where);
    ASSERT_FALSE(base_dir.empty());
    const Outcome base = RunIn(base_dir, "seh-overflow-no-library", where);
    ASSERT_TRUE(base.host.ended);
    const bool handler_ran = base.host.Fact("seh-caught") == "1";
    std::printf("     %s thread without the library: exit code %s, handler ran %d, went on %s\n", where,
                Hex(base.host.exit_code).c_str(), handler_ran, base.host.Fact("host-went-on").c_str());
    CleanUp(base_dir);
    const bool lost_main = !handler_ran && std::string(where) == "main";
    RepeatScenario(std::string("seh-overflow-") + where, Runs(2, 5), 2 * kRunTimeoutMs, [&](const Outcome& outcome) {
      ASSERT_TRUE(outcome.host.ended);
      EXPECT_EQ(outcome.host.Fact("started"), "1");
      if (lost_main) {
        EXPECT_EQ(Hex(outcome.host.exit_code), Hex(kStackOverflow));
        ExpectDeliveredCrash(outcome, 2, kStackOverflow);
        return;
      }
      EXPECT_EQ(Hex(outcome.host.exit_code), Hex(base.host.exit_code));
      for (const char* fact : {"seh-caught", "thread-exit", "host-went-on"}) {
        EXPECT_EQ(outcome.host.Facts(fact), base.host.Facts(fact)) << fact;
      }
      if (!handler_ran) {
        EXPECT_NE(outcome.sdk_log.find("stack overflow left to the host's own handler"), std::string::npos);
      }
      ExpectNoCrashReport(outcome);
    }, "seh-overflow", where);
  }
}

TEST(CrashHostRepeated, EightThreadsCrashingAtOnceGiveOneReport) {
  RepeatScenario("eight-threads", Runs(3, 20), kEightThreadsTimeoutMs, [](const Outcome& outcome) {
    ASSERT_TRUE(outcome.host.ended) << "the process did not end within 30 s";
    EXPECT_EQ(Hex(outcome.host.exit_code), Hex(kAccessViolation));
    EXPECT_EQ(outcome.host.Facts("crash-thread").size(), 8u) << "threads that reached their fault";
    ExpectDeliveredCrash(outcome, 2, kAccessViolation);
  });
}

TEST(CrashHostRepeated, CrashWhileAnotherThreadLogsAndSetsValuesIsReported) {
  RepeatScenario("busy-crash", Runs(4, 50), kRunTimeoutMs, [](const Outcome& outcome) {
    ASSERT_TRUE(outcome.host.ended);
    ExpectDeliveredCrash(outcome, 2, kAccessViolation, "", false);
  });
}

class CollectorEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string why;
    ASSERT_FALSE(vextra_test::CollectorProgram(&why).empty()) << why;
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const fs::path work = fs::path(temp) / ("vextra-crash-" + std::to_string(GetCurrentProcessId())) / "collector";
    std::error_code ignored;
    fs::remove_all(work, ignored);
    fs::create_directories(work);
    g_address = vextra_test::LoopbackAddress(2);
    g_collector = std::make_unique<vextra_test::CollectorProcess>(g_address, work, std::vector<std::string>{});
    ASSERT_TRUE(g_collector->Started()) << g_collector->Error();
  }
  void TearDown() override {
    if (g_collector) g_collector->Stop();
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--full") {
      g_full_runs = true;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 3) {
    std::fprintf(stderr, "usage: %s <Vextra64.dll> <vextra_crash_host.exe> <vextra_crash_module.dll> [--full]\n",
                 argv[0]);
    return 2;
  }
  g_programs = {paths[0], paths[1], paths[2]};
  ::testing::AddGlobalTestEnvironment(new CollectorEnvironment);
  return RUN_ALL_TESTS();
}
