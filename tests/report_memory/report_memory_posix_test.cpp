// Resident memory after many asynchronous reports with distinct stacks and
// large extra information, all delivered: what the library keeps of a report
// once it is sent must not grow with the report's size. Read from the
// process's own figures (/proc/self/status), after the allocator has handed
// back what is free, so only what is still held counts.

#include <malloc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "support/db_count.h"
#include "intake/exception_manager.h"
#include "support/loopback_address.h"
#include "support/peak_memory_posix.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

// Resident KiB once freed memory is back with the system.
long ResidentKib() {
  malloc_trim(0);
  return vextra_test::ProcStatusKib("VmRSS");
}

// Waits until the collector holds want reports of name (or ten minutes).
int WaitForReports(const vextra_test::CollectorProcess& collector, const std::string& name, int want) {
  const std::string sql = "SELECT count(*) FROM reports WHERE expName='" + name + "'";
  return vextra_test::WaitForCount(collector.DbPath(), sql, want, std::chrono::minutes(10));
}

// Reports count asynchronous errors named name, each with its own stack and
// extra information of extraBytes, in batches that wait for delivery (so the
// queues never hold more than one batch), until all are delivered.
int ReportAndDeliver(const vextra_test::CollectorProcess& collector, const std::string& name, int count,
                     size_t extraBytes) {
  const std::string extra = "{\"blob\":\"" + std::string(extraBytes, 'x') + "\"}";
  constexpr int kBatch = 250;
  int made = 0;
  while (made < count) {
    const int end = std::min(count, made + kBatch);
    for (; made < end; ++made) {
      const std::string stack = name + " stack " + std::to_string(made) + "\n  at frame.lua:" + std::to_string(made);
      VX_ReportException(5, name.c_str(), "memory", stack.c_str(), extra.c_str(), true, nullptr);
    }
    if (WaitForReports(collector, name, made) < made) return -1;
  }
  return made;
}

TEST(ReportMemory, DeliveredReportsLeaveNoCopyOfTheirContentBehind) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  vextra_test::TempDir dir("vextra-report-memory");
  const std::string address = vextra_test::LoopbackAddress(2);
  const std::filesystem::path work = dir.path() / "collector";
  std::filesystem::create_directories(work);
  vextra_test::CollectorProcess collector(address, work, {});
  ASSERT_TRUE(collector.Started()) << collector.Error();
  Vextra::CommonInfo::Instance().SetWorkspace(dir.wpath(), true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId("app-memory");
  ASSERT_TRUE(Vextra::IsInitialized());

  constexpr size_t kExtraBytes = 200 * 1024;
  // Warm-up: threads, TLS, the database and the allocator's arenas exist.
  ASSERT_EQ(ReportAndDeliver(collector, "WarmUp", 100, kExtraBytes), 100);
  const long before = ResidentKib();

  constexpr int kReports = 5000;
  ASSERT_EQ(ReportAndDeliver(collector, "MemoryError", kReports, kExtraBytes), kReports);
  // The last report has left the queues (its upload is in the collector).
  const long after = ResidentKib();
  EXPECT_EQ(Vextra::ExceptionManager::Instance().PreProcessSize(), 0u);
  EXPECT_EQ(Vextra::ExceptionManager::Instance().ProcessingSize(), 0u);
  std::printf("resident memory: %ld KiB before, %ld KiB after %d delivered reports of %zu KiB extra information "
              "(grew by %ld KiB)\n",
              before, after, kReports, kExtraBytes / 1024, after - before);
  EXPECT_LT(after - before, 16 * 1024);
}

}  // namespace
