// Counts every heap allocation of the logging thread (malloc and everything
// built on it: operator new, the C runtime's own uses) to show that a log line
// costs none once the SDK log file is open. Sanitizer builds bring their own
// allocator, so there the test is skipped.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <string>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "log/native_log_ring.h"
#include "log/sdk_log.h"
#include "support/counting_allocator_posix.h"
#include "support/temp_dir.h"

namespace Vextra {
namespace {

using vextra_test::AllocationsDuring;

TEST(SdkLogAllocationTest, LinesAfterTheFileIsOpenAllocateNothing) {
#ifdef VEXTRA_OWN_ALLOCATOR
  GTEST_SKIP() << "the sanitizer's allocator cannot be counted here";
#endif
  // The counter sees operator new and the C runtime's malloc alike.
  ASSERT_GT(AllocationsDuring([] { delete new std::string(100, 'x'); }), 0);
  ASSERT_GT(AllocationsDuring([] { std::free(std::malloc(10)); }), 0);

  vextra_test::TempDir dir;
  SdkLog log((dir.path() / "VextraLog").wstring());
  SetDebugMode(true);
  log.PrintAlways("opening the file\n");
  ASSERT_NE(log.FilePath(), L"");
  LogAlways("opening the process's log\n");
  InitNativeLog();
  CommonInfo::Instance();  // created on first use, like the logs
  const std::string long_text(5000, 'l');

  static const struct {
    const char* name;
    std::function<void(SdkLog&, const std::string&)> line;
  } kCases[] = {
      {"always-written line", [](SdkLog& log, const std::string&) { log.PrintAlways("plain\n"); }},
      {"debug line with arguments",
       [](SdkLog& log, const std::string&) { log.Print("%s %d %u %x %c %.3f\n", "text", -7, 7u, 255u, 'c', 1.5); }},
      {"message cut at 1,023 bytes", [](SdkLog& log, const std::string& text) { log.Print("%s\n", text.c_str()); }},
      {"the process's log", [](SdkLog&, const std::string&) { LogDebug("SetAppVersion: app version is %s \n", "1"); }},
      {"a host line kept in the native log, with its debug line",
       [](SdkLog&, const std::string&) { PrintNativeLogMessage(4, "Game", "hp 42"); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AllocationsDuring([&] { c.line(log, long_text); }), 0);
  }
  SetDebugMode(false);
}

}  // namespace
}  // namespace Vextra
