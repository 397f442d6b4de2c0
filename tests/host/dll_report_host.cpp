// A host that loads Vextra64.dll with LoadLibrary, as a game does, and reports
// errors to the reference collector over TLS (started by this program on its
// own loopback address, as the upload tests start it): one synchronous report
// with a 6,000,000-byte log file, a second synchronous one at once (refused by
// the interval), and ten asynchronous ones, which arrive in order.
//   vextra_dll_report_host <Vextra64.dll>
// Needs VEXTRA_COLLECTOR (the Linux collector program).

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "db/raw_db.h"
#include "support/db_count.h"
#include "support/loopback_address.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "[ ok ]" : "[FAIL]", what.c_str());
  if (!ok) ++g_failures;
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  auto address = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  Check(address != nullptr, std::string("GetProcAddress ") + name);
  return address;
}

using vextra_test::CountOf;

}  // namespace

int main(int argc, char** argv) {
  // Unbuffered: a run that dies part-way still shows every check it made.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <Vextra64.dll>\n", argv[0]);
    return 2;
  }
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    std::printf("[FAIL] no collector: %s\n", why.c_str());
    return 1;
  }
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::filesystem::path work =
      std::filesystem::path(temp) / ("vextra-dll-report-" + std::to_string(GetCurrentProcessId()));
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);  // Wine reuses process ids: a leftover of an earlier run
  std::filesystem::create_directories(work);
  const std::string address = vextra_test::LoopbackAddress(2);
  vextra_test::CollectorProcess collector(address, work, {});
  Check(collector.Started(), "the collector listens: " + collector.Error());
  if (!collector.Started()) return 1;

  HMODULE module = LoadLibraryA(argv[1]);
  Check(module != nullptr, std::string("LoadLibrary ") + argv[1]);
  if (module == nullptr) return 1;
  using TextFn = void (*)(const char*);
  using ValueFn = void (*)(const char*, const char*);
  using ReportFn = void (*)(int32_t, const char*, const char*, const char*, const char*, bool, const char*);
  Resolve<bool (*)(bool)>(module, "VX_ConfigDebugMode")(true);
  // The library's files stay in this run's directory, not beside the DLL.
  Resolve<TextFn>(module, "VX_SetWorkSpace")(work.string().c_str());
  Resolve<TextFn>(module, "VX_ConfigCrashServerUrl")(address.c_str());
  Resolve<TextFn>(module, "VX_SetUserId")("dll-player");
  Resolve<ValueFn>(module, "VX_SetUserValue")("level", "cave-2");
  Resolve<TextFn>(module, "VX_InitWithAppId")("dll-app");
  char session[33] = {};
  Resolve<void (*)(char*)>(module, "VX_GetSessionId")(session);
  Check(std::string(session).size() == 32, std::string("a session id after start-up: ") + session);

  const std::string log_file = (work / "game.log").string();
  {
    std::ofstream out(log_file, std::ios::binary);
    std::string block(1000, 'g');
    for (int i = 0; i < 6000; ++i) out << block;
  }
  auto report = Resolve<ReportFn>(module, "VX_ReportException");
  // The narrow log path also moves the workspace beside it.
  report(7, "DllSyncError", "first", "a.lua:1", "{\"quest\":\"q1\"}", false, log_file.c_str());
  report(7, "DllSyncError", "second", "a.lua:1", "{}", false, nullptr);
  for (int i = 0; i < 10; ++i) {
    report(8, "DllAsyncError", ("async " + std::to_string(i)).c_str(), "b.lua:2", "{}", true, nullptr);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // Both read below: the ten reports and the access-information request of
  // its own thread.
  while ((CountOf(collector.DbPath(), "SELECT count(*) FROM reports WHERE expName='DllAsyncError'") < 10 ||
          CountOf(collector.DbPath(), "SELECT count(*) FROM requests WHERE cmd=840") < 1) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Check(collector.Stop(), "the collector stops");

  vextra_test::RawDb db(collector.DbPath());
  Check(db.Cells("SELECT expMessage FROM reports WHERE expName='DllSyncError'") == std::vector<std::string>{"first"},
        "one synchronous report arrived; the second, made at once, was refused");
  std::vector<std::string> sync = db.Cells(
      "SELECT type, callStack, length(expuid), userid, pidName FROM reports WHERE expName='DllSyncError'");
  Check(sync == std::vector<std::string>({"107", "a.lua:1", "32", "dll-player", "vextra_dll_report_host.exe"}),
        "the synchronous report's fields");
  Check(db.Cell("SELECT length(a.content) FROM attachments a JOIN reports r ON a.report_id=r.id "
                "WHERE r.expName='DllSyncError' AND a.fileName='logFile.zip'") == "5242880",
        "logFile.zip inflates to the last 5,242,880 bytes of the log file");
  std::vector<std::string> want;
  for (int i = 0; i < 10; ++i) want.push_back("async " + std::to_string(i));
  Check(db.Cells("SELECT expMessage FROM reports WHERE expName='DllAsyncError' ORDER BY request_id") == want,
        "the ten asynchronous reports arrived in order");
  Check(db.Cell("SELECT count(*) FROM requests WHERE cmd=840") == "1", "one access-information request");
  std::printf("%d failed\n", g_failures);
  const int result = g_failures == 0 ? 0 : 1;
  // The library keeps its database open until the process ends: leave the
  // directory for the next run's clean-up.
  return result;
}
