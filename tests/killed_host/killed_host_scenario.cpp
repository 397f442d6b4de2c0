#include "killed_host/killed_host_scenario.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "VextraPkg.pb.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/raw_db.h"
#include "platform/text_encoding.h"
#include "support/db_count.h"
#include "uploader/body_codec.h"
#include "vextra.h"

namespace vextra_test {
namespace {

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

void StartLibrary(const std::filesystem::path& workspace, const std::string& address) {
  Vextra::CommonInfo::Instance().SetWorkspace(workspace.wstring(), true);
  VX_ConfigCrashServerUrl(address.c_str());
  VX_InitWithAppId(kKilledHostAppId);
}

}  // namespace

void RunReportingHost(const std::filesystem::path& workspace, const std::string& address,
                      const std::filesystem::path& counter, int run) {
  StartLibrary(workspace, address);
  std::ofstream count_file(counter, std::ios::binary | std::ios::trunc);
  const std::string stack(800, 'k');
  for (int made = 1;; ++made) {
    VX_ReportException(3, "KilledHostError", ("run " + std::to_string(run) + " report " + std::to_string(made)).c_str(),
                       stack.c_str(), "{}", true, nullptr);
    count_file.seekp(0);
    count_file << made << '\n';
    count_file.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int ReportsMadeBy(const std::filesystem::path& counter) {
  const std::string count = ReadFileBytes(counter);
  return count.empty() ? 0 : std::stoi(count);
}

void StartNextAndStopCollector(const std::filesystem::path& workspace, const std::string& address,
                               CollectorProcess& collector, std::filesystem::path* data_dir) {
  StartLibrary(workspace, address);
  ASSERT_TRUE(Vextra::IsInitialized());
  *data_dir = Vextra::platform::WideToUtf8(Vextra::CommonInfo::Instance().GetDataDir());
  const std::filesystem::path records = *data_dir / "vextra_data_db";
  ASSERT_TRUE(std::filesystem::exists(records));
  // Start-up returns before its re-send pass, which runs in the background:
  // the collector must stay up until every body the pass takes up has its
  // answer. Waiting: recorded but never answered (0), or failed (2). A pass
  // that stops at a body without an answer leaves a 2, and the check below
  // names what never arrived.
  const int waiting = WaitForCountWhere(
      records, "SELECT count(*) FROM T_CRASH_RECORD WHERE (STATUS=0 AND UPLOADABLE=1) OR STATUS=2",
      [](int seen) { return seen == 0; }, std::chrono::minutes(3));
  EXPECT_EQ(waiting, 0) << "stored bodies still waiting for their answer when the collector stops";
  ASSERT_TRUE(collector.Stop()) << collector.Error();
}

void CheckEveryDataFileArrived(const std::filesystem::path& collector_db, const std::filesystem::path& data_dir,
                               int made, int before_start) {
  RawDb collected(collector_db);
  std::set<std::string> arrived;
  for (const std::string& id : collected.Cells("SELECT expuid FROM reports")) arrived.insert(id);
  RawDb records(data_dir / "vextra_data_db");
  // Compared as paths: a record's separators need not be the directory listing's.
  std::set<std::filesystem::path> recorded;
  for (const std::string& path : records.Cells("SELECT PATH FROM T_CRASH_RECORD")) {
    recorded.insert(std::filesystem::u8path(path).lexically_normal());
  }

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
    if (recorded.count(entry.path().lexically_normal()) == 0) ++unrecorded;
    if (arrived.count(expuid) == 0) {
      ++missing;
      ADD_FAILURE() << "the report in " << entry.path() << " (" << expuid << ") never arrived";
    }
  }
  const int memory_only = made - files;
  std::printf("%d killed runs: %d reports made, %d data files (%d without a record, %d unreadable), "
              "%d requests arrived while the hosts ran, %zu distinct reports after the next start, %d missing; "
              "%d lost in memory by design (%d of them killed while their body was being written)\n",
              kKilledHostRuns, made, files, unrecorded, unreadable, before_start, arrived.size(), missing,
              memory_only, unwritten);
  EXPECT_GT(files, 0);
  EXPECT_EQ(missing, 0);
  EXPECT_GE(memory_only, 0);
}

}  // namespace vextra_test
