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
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "VextraPkg.pb.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/raw_db.h"
#include "platform/text_encoding.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/body_codec.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

constexpr int kRuns = 20;

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ExpuidOf(const std::string& body) {
  VextraPkg::UniPacket packet;
  VextraPkg::ExceptionUploadPackage package;
  if (!packet.ParseFromString(Vextra::DecompressBody(body)) ||
      !package.ParseFromString(packet.request().sbuffer()) || package.list_size() != 1) {
    return "";
  }
  return package.list(0).expuid();
}

// The host: starts the library on the shared workspace and reports without
// end, writing how many reports it has made into counter after each one.
[[noreturn]] void RunHost(const std::filesystem::path& workspace, const std::string& address,
                          const std::filesystem::path& counter, int run) {
  Vextra::CommonInfo::Instance().SetWorkspace(workspace.wstring(), true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId("app-killed");
  FILE* count_file = std::fopen(counter.c_str(), "w");
  const std::string stack(800, 'k');
  for (int made = 1;; ++made) {
    VX_ReportException(3, "KilledHostError", ("run " + std::to_string(run) + " report " + std::to_string(made)).c_str(),
                       stack.c_str(), "{}", true, nullptr);
    if (count_file != nullptr) {
      std::rewind(count_file);
      std::fprintf(count_file, "%d\n", made);
      std::fflush(count_file);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

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
  for (int run = 0; run < kRuns; ++run) {
    const std::filesystem::path counter = dir.path() / ("made-" + std::to_string(run));
    std::fflush(stdout);  // the child must not print this program's output again
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) RunHost(workspace, address, counter, run);
    std::this_thread::sleep_for(std::chrono::milliseconds(lifetime_ms(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string count = ReadFileBytes(counter);
    made += count.empty() ? 0 : std::stoi(count);
  }
  int before_start = 0;
  {
    vextra_test::RawDb collected(collector.DbPath());
    before_start = std::stoi(collected.Cell("SELECT count(*) FROM reports"));
  }

  // The next start, in this process: sends what the killed runs left.
  Vextra::CommonInfo::Instance().SetWorkspace(workspace.wstring(), true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId("app-killed");
  ASSERT_TRUE(Vextra::IsInitialized());
  ASSERT_TRUE(collector.Stop()) << collector.Error();
  const std::filesystem::path data_dir = Vextra::platform::WideToUtf8(Vextra::CommonInfo::Instance().GetDataDir());
  ASSERT_TRUE(std::filesystem::exists(data_dir / "vextra_data_db"));

  vextra_test::RawDb collected(collector.DbPath());
  std::set<std::string> arrived;
  for (const std::string& id : collected.Cells("SELECT expuid FROM reports")) arrived.insert(id);
  vextra_test::RawDb records(data_dir / "vextra_data_db");
  std::set<std::string> recorded;
  for (const std::string& path : records.Cells("SELECT PATH FROM T_CRASH_RECORD")) recorded.insert(path);

  int files = 0, unreadable = 0, unrecorded = 0, missing = 0, unwritten = 0;
  for (const auto& entry : std::filesystem::directory_iterator(data_dir)) {
    if (entry.path().filename().string().rfind("error_data.info_", 0) != 0) continue;
    if (entry.path().extension() == ".part") continue;  // a body being written when the host was killed
    if (std::filesystem::file_size(entry.path()) == 0) {
      ++unwritten;  // a name taken, its body not yet moved in: no report on disk
      continue;
    }
    ++files;
    const std::string expuid = ExpuidOf(ReadFileBytes(entry.path()));
    if (expuid.empty()) {
      ++unreadable;  // cut off by the kill while being written
      ADD_FAILURE() << "data file " << entry.path() << " holds no whole report";
      continue;
    }
    if (recorded.count(entry.path().string()) == 0) ++unrecorded;
    if (arrived.count(expuid) == 0) {
      ++missing;
      ADD_FAILURE() << "the report in " << entry.path() << " (" << expuid << ") never arrived";
    }
  }
  const int memory_only = made - files;
  std::printf("%d killed runs: %d reports made, %d data files (%d without a record, %d unreadable), "
              "%d requests arrived while the hosts ran, %zu distinct reports after the next start, %d missing; "
              "%d lost in memory by design (%d of them killed while their body was being written)\n",
              kRuns, made, files, unrecorded, unreadable, before_start, arrived.size(), missing, memory_only,
              unwritten);
  EXPECT_GT(files, 0);
  EXPECT_EQ(missing, 0);
  EXPECT_GE(memory_only, 0);
}

}  // namespace
