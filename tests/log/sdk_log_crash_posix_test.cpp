// The SDK log on a faulting thread: a handler that logs on the thread that
// faulted must neither block on the log's lock nor lose its line.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "core/process_flags.h"
#include "log/sdk_log.h"
#include "support/temp_dir.h"

namespace Vextra {
namespace {

namespace fs = std::filesystem;

SdkLog* g_crash_log = nullptr;

// What a crash handler does: one line, then the process ends.
void LogAndExit(int) {
  g_crash_log->PrintAlways("Exception occured.\n");
  _exit(7);
}

void InstallFaultHandler() {
  struct sigaction action {};
  action.sa_handler = LogAndExit;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, nullptr);
  sigaction(SIGBUS, &action, nullptr);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void FaultNow() {
  volatile int* nowhere = reinterpret_cast<volatile int*>(16);
  *nowhere = 1;
}

TEST(SdkLogCrashTest, HandlerOnTheFaultingThreadWritesItsLine) {
  // The child must share the parent's temporary directory: fork, no re-run.
  GTEST_FLAG_SET(death_test_style, "fast");
  static const struct {
    const char* name;
    std::function<void(SdkLog&)> fault;
  } kCases[] = {
      // The host's text is formatted before the lock is taken, so the fault
      // happens with the lock free.
      {"bad host pointer in a line's arguments",
       [](SdkLog& log) { log.PrintAlways("name %s\n", reinterpret_cast<const char*>(16)); }},
      // The worst case: the fault strikes while this thread holds the lock.
      {"fault while the thread holds the log's lock", [](SdkLog& log) { log.HoldLockForTesting(FaultNow); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    vextra_test::TempDir dir;
    const fs::path log_dir = dir.path() / "VextraLog";
    EXPECT_EXIT(
        {
          SdkLog* log = new SdkLog(log_dir.wstring());
          g_crash_log = log;
          log->PrintAlways("before\n");
          InstallFaultHandler();
          c.fault(*log);
          std::exit(0);
        },
        ::testing::ExitedWithCode(7), "");
    ASSERT_TRUE(fs::is_directory(log_dir));
    const fs::path file = fs::directory_iterator(log_dir)->path();
    EXPECT_NE(ReadAll(file).find(":before\n"), std::string::npos);
    EXPECT_NE(ReadAll(file).find(":Exception occured.\n"), std::string::npos) << ReadAll(file);
  }
}

}  // namespace
}  // namespace Vextra
