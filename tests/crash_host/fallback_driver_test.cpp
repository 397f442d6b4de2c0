// The dump-writer fallback under Wine, end to end: a host that loads
// Vextra64.dll crashes while dbghelp.dll is a stand-in whose MiniDumpWriteDump
// returns FALSE, one that faults inside the call, or is disabled altogether;
// each crash must still reach the collector with a "minidump.zip" that holds a
// sound dump (written by the library's own writer) naming the faulting thread
// and the exception.
//   vextra_fallback_tests <Vextra64.dll> <vextra_fallback_host.exe> <vextra_crash_module.dll>
//                         <dbghelp.dll returning FALSE> <dbghelp.dll faulting> [gtest options]
// VEXTRA_CRASH_KEEP_RUNS=1 keeps every run's directory (failed runs are kept anyway).

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "crash_host/crash_run.h"
#include "db/raw_db.h"
#include "minidump/minidump_reader.h"
#include "support/inflate_whole.h"
#include "support/loopback_address.h"
#include "uploader/collector_process.h"

namespace {

namespace fs = std::filesystem;
using vextra_test::HostRun;

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kStackOverflow = 0xC00000FD;
constexpr DWORD kRunTimeoutMs = 180000;

vextra_test::HostPrograms g_programs;
fs::path g_stub_false;
fs::path g_stub_fault;
std::unique_ptr<vextra_test::CollectorProcess> g_collector;
std::string g_address;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string SdkLogOf(const HostRun& run) {
  const std::string suffix = "." + std::to_string(run.process_id) + ".log";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(run.dir / "VextraLog", error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      std::string text = vextra_test::ReadWholeFile(entry.path());
      text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
      return text;
    }
  }
  return {};
}

std::string LastRequestId() {
  vextra_test::RawDb db(g_collector->DbPath());
  const std::string last = db.Cell("SELECT coalesce(max(id), 0) FROM requests");
  return last.empty() ? "0" : last;
}

// The host runs under a name of its own, so the DLL override below touches
// no other program of the shared Wine prefix.
constexpr wchar_t kHostName[] = L"vextra_fallback_host.exe";
constexpr wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\vextra_fallback_host.exe\\DllOverrides";

// Wine's per-program DLL override for dbghelp while the host runs: "native"
// loads the stand-in beside the host, "" disables the library; nullptr
// leaves the system's. (A WINEDLLOVERRIDES set in this process does not
// reach the host: Wine hands children the environment it started with.)
class ScopedDbghelpOverride {
 public:
  explicit ScopedDbghelpOverride(const wchar_t* value) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kOverrideKey);
    if (value == nullptr) return;
    RegSetKeyValueW(HKEY_CURRENT_USER, kOverrideKey, L"dbghelp", REG_SZ, value,
                    static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  }
  ~ScopedDbghelpOverride() { RegDeleteTreeW(HKEY_CURRENT_USER, kOverrideKey); }
};

// Runs the host copied into dir under kHostName (see crash_run.h's RunHost).
HostRun RunFallbackHost(const fs::path& dir, const std::string& scenario) {
  HostRun run;
  run.dir = dir;
  const std::wstring program = (dir / kHostName).wstring();
  if (!CopyFileW((dir / "vextra_crash_host.exe").wstring().c_str(), program.c_str(), FALSE)) return run;
  std::wstring command = L"\"" + program + L"\" \"" + (dir / "Vextra64.dll").wstring() + L"\" " +
                         std::wstring(scenario.begin(), scenario.end()) + L" " +
                         std::wstring(g_address.begin(), g_address.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.wstring().c_str(),
                      &startup, &child)) {
    return run;
  }
  run.process_id = child.dwProcessId;
  run.ended = WaitForSingleObject(child.hProcess, kRunTimeoutMs) == WAIT_OBJECT_0;
  if (!run.ended) {
    TerminateProcess(child.hProcess, 0xDEAD);
    WaitForSingleObject(child.hProcess, INFINITE);
  }
  GetExitCodeProcess(child.hProcess, &run.exit_code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  std::istringstream facts(vextra_test::ReadWholeFile(dir / vextra_test::kFactsFileName));
  for (std::string line; std::getline(facts, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space != std::string::npos) run.facts.emplace(line.substr(0, space), line.substr(space + 1));
  }
  return run;
}

enum class Dbghelp { kSystem, kReturnsFalse, kFaults, kDisabled };

struct FallbackCase {
  const char* name;
  const char* scenario;
  Dbghelp dbghelp;
  const char* config;  // VextraConfig64.dat beside the DLL, or ""
  uint32_t code;
  size_t crash_threads;  // threads of the host that reached their crash
  const char* failure_line;  // what the SDK log says of the system writer, or ""
  const char* written_by;
};

const FallbackCase kCases[] = {
    {"dbghelp returns FALSE", "native-crash", Dbghelp::kReturnsFalse, "", kAccessViolation, 1,
     "game dump by self also failed errid(32)", "dump written by the library's own writer\n"},
    {"dbghelp faults", "native-crash", Dbghelp::kFaults, "", kAccessViolation, 1,
     "MiniDumpWriteDump faulted (C0000005", "dump written by the library's own writer\n"},
    {"dbghelp disabled", "native-crash", Dbghelp::kDisabled, "", kAccessViolation, 1,
     "game dump by self also failed errid(7E)", "dump written by the library's own writer\n"},
    {"own writer first by configuration", "native-crash", Dbghelp::kSystem, "<OwnDumpWriter>1</OwnDumpWriter>\n",
     kAccessViolation, 1, "", "dump written by the library's own writer\n"},
    {"system writer when it works", "native-crash", Dbghelp::kSystem, "", kAccessViolation, 1, "",
     "dump written by the system's MiniDumpWriteDump\n"},
    {"eight threads, dbghelp faults", "eight-threads", Dbghelp::kFaults, "", kAccessViolation, 8,
     "MiniDumpWriteDump faulted (C0000005", "dump written by the library's own writer\n"},
    {"stack overflow, dbghelp faults", "stack-overflow", Dbghelp::kFaults, "", kStackOverflow, 1,
     "MiniDumpWriteDump faulted (C0000005", "dump written by the library's own writer\n"},
};

void PrintTo(const FallbackCase& c, std::ostream* out) { *out << c.name; }

class CrashFallback : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(CrashFallback, DeliversASoundDumpOfTheCrash) {
  const FallbackCase& c = GetParam();
  const std::string run_name = std::regex_replace(c.name, std::regex("[^A-Za-z0-9]+"), "-");
  const fs::path dir = vextra_test::PrepareRunDir(g_programs, run_name);
  ASSERT_FALSE(dir.empty());
  if (c.dbghelp == Dbghelp::kReturnsFalse || c.dbghelp == Dbghelp::kFaults) {
    ASSERT_TRUE(CopyFileW((c.dbghelp == Dbghelp::kFaults ? g_stub_fault : g_stub_false).wstring().c_str(),
                          (dir / "dbghelp.dll").wstring().c_str(), FALSE));
  }
  if (*c.config != '\0') {
    FILE* file = _wfopen((dir / "VextraConfig64.dat").wstring().c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::fputs(c.config, file);
    std::fclose(file);
  }
  const wchar_t* override = c.dbghelp == Dbghelp::kDisabled ? L""
                            : c.dbghelp == Dbghelp::kSystem  ? nullptr
                                                             : L"native";
  const std::string before = LastRequestId();
  HostRun host;
  {
    ScopedDbghelpOverride dbghelp(override);
    host = RunFallbackHost(dir, c.scenario);
  }
  ASSERT_TRUE(host.ended) << "the host did not end";
  EXPECT_EQ(Hex(host.exit_code), Hex(c.code));
  const std::vector<std::string> crash_threads = host.Facts("crash-thread");
  EXPECT_EQ(crash_threads.size(), c.crash_threads);

  const std::string log = SdkLogOf(host);
  if (*c.failure_line != '\0') EXPECT_NE(log.find(c.failure_line), std::string::npos) << log;
  EXPECT_NE(log.find(c.written_by), std::string::npos) << log;

  // One report, its minidump.zip the dump left beside the DLL.
  vextra_test::RawDb db(g_collector->DbPath());
  const std::vector<std::string> requests =
      db.Cells("SELECT id FROM requests WHERE cmd=830 AND id>" + before + " ORDER BY id");
  ASSERT_EQ(requests.size(), 1u) << "crash reports stored during the run";
  const std::string report = db.Cell("SELECT id FROM reports WHERE request_id=" + requests[0]);
  ASSERT_FALSE(report.empty());
  bool inflated = false;
  const std::string dump = vextra_test::InflateWhole(
      db.Cell("SELECT data FROM attachments WHERE fileName='minidump.zip' AND report_id=" + report), 16 + 15,
      &inflated);
  ASSERT_TRUE(inflated) << "minidump.zip is one gzip stream";
  std::vector<std::string> dumps;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir / "pxr64" / "dump", error)) {
    if (std::regex_match(entry.path().filename().string(), std::regex(R"(HcDump\.HcS\.\d+(-small)?\.dmp)"))) {
      dumps.push_back(vextra_test::ReadWholeFile(entry.path()));
    }
  }
  EXPECT_EQ(std::count(dumps.begin(), dumps.end(), dump), 1) << "the uploaded dump is not the one on disk";

  const Vextra::minidump::MinidumpContents contents = Vextra::minidump::ReadMinidump(dump);
  // The system's writer under Wine stores some memory ranges twice, which the
  // reader reports; the own writer's dump must be sound throughout.
  const bool own = std::string(c.written_by).find("own writer") != std::string::npos;
  if (own) {
    for (const std::string& problem : contents.problems) ADD_FAILURE() << problem;
  }
  ASSERT_TRUE(contents.exception.present);
  EXPECT_EQ(Hex(contents.exception.code), Hex(c.code));
  EXPECT_EQ(std::count(crash_threads.begin(), crash_threads.end(), std::to_string(contents.exception.thread_id)), 1)
      << "the dump's faulting thread " << contents.exception.thread_id << " is not a crashing thread of the host";
  // Every thread that reached its crash is listed, and the modules include
  // the host and the library, each with its CodeView record.
  for (const std::string& thread : crash_threads) {
    EXPECT_TRUE(std::any_of(contents.threads.begin(), contents.threads.end(),
                            [&](const auto& listed) { return std::to_string(listed.thread_id) == thread; }))
        << "thread " << thread << " is not listed";
  }
  for (const char* module : {"vextra_fallback_host.exe", "Vextra64.dll"}) {
    const auto found = std::find_if(contents.modules.begin(), contents.modules.end(), [&](const auto& listed) {
      return listed.name.size() >= std::strlen(module) &&
             listed.name.compare(listed.name.size() - std::strlen(module), std::string::npos, module) == 0;
    });
    ASSERT_NE(found, contents.modules.end()) << module;
    if (own) EXPECT_EQ(found->codeview_signature, 0x53445352u) << module << ": no RSDS record";
  }

  if (HasFailure() || std::getenv("VEXTRA_CRASH_KEEP_RUNS") != nullptr) {
    std::printf("     kept %s\n", dir.string().c_str());
  } else {
    fs::remove_all(dir, error);
  }
}

INSTANTIATE_TEST_SUITE_P(Dbghelp, CrashFallback, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FallbackCase>& info) {
                           return std::regex_replace(info.param.name, std::regex("[^A-Za-z0-9]+"), "_");
                         });

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
    g_address = vextra_test::LoopbackAddress(3);
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
  if (argc != 6) {
    std::fprintf(stderr,
                 "usage: %s <Vextra64.dll> <vextra_fallback_host.exe> <vextra_crash_module.dll> "
                 "<dbghelp returning FALSE> <dbghelp faulting>\n",
                 argv[0]);
    return 2;
  }
  g_programs = {argv[1], argv[2], argv[3]};
  g_stub_false = argv[4];
  g_stub_fault = argv[5];
  ::testing::AddGlobalTestEnvironment(new CollectorEnvironment);
  return RUN_ALL_TESTS();
}
