// Reliability: a host killed at random moments while it reports errors
// asynchronously, 20 times over one workspace. Afterwards one more start of
// the library sends what the killed runs left behind (bodies that failed and
// bodies whose run died before their answer), so every report whose data
// file exists reaches the collector. Reports still only in a killed host's
// memory are lost by design; they are counted apart.
//
// Each host is a child forked before this program touches the library, so
// every run starts the library from nothing, as a new process does. This
// program holds only this test for that reason.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "db/raw_db.h"
#include "killed_host/killed_host_scenario.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"

namespace {

TEST(KilledHost, EveryReportWithADataFileArrivesAfterTheNextStart) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  vextra_test::TempDir dir("vextra-killed");
  const std::filesystem::path workspace = dir.path() / "workspace";
  std::filesystem::create_directories(workspace);
  const std::string address = vextra_test::LoopbackAddress(2);
  const std::filesystem::path work = dir.path() / "collector";
  std::filesystem::create_directories(work);
  vextra_test::CollectorProcess collector(address, work, {});
  ASSERT_TRUE(collector.Started()) << collector.Error();

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> lifetime_ms(150, 1500);
  int made = 0;
  for (int run = 0; run < vextra_test::kKilledHostRuns; ++run) {
    const std::filesystem::path counter = dir.path() / ("made-" + std::to_string(run));
    std::fflush(stdout);  // the child must not print this program's output again
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) vextra_test::RunReportingHost(workspace, address, counter, run);
    std::this_thread::sleep_for(std::chrono::milliseconds(lifetime_ms(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    made += vextra_test::ReportsMadeBy(counter);
  }
  int before_start = 0;
  {
    vextra_test::RawDb collected(collector.DbPath());
    before_start = std::stoi(collected.Cell("SELECT count(*) FROM reports"));
  }

  // The next start, in this process: sends what the killed runs left.
  std::filesystem::path data_dir;
  ASSERT_NO_FATAL_FAILURE(vextra_test::StartNextAndStopCollector(workspace, address, collector, &data_dir));
  vextra_test::CheckEveryDataFileArrived(collector.DbPath(), data_dir, made, before_start);
}

}  // namespace
