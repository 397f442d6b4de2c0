// A crash report sent while another thread holds, and never lets go of, a lock
// the report needs: the settings' setters, the user values, the native log
// ring, the record database's connection, the SDK log, or all of them at once.
// A holder thread stands for a thread that stopped or died inside the lock.
// The report must return long before the holder lets go, reach the real
// reference collector, and carry everything the busy part does not provide.
//
// Loopback hosts of this test program used here: 42 (see upload_task_test.cpp
// for how the collector is found and started).

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/common_info.h"
#include "core/protocol_names.h"
#include "db/db_manager.h"
#include "db/raw_db.h"
#include "log/native_log_ring.h"
#include "log/sdk_log.h"
#include "report/file_manager.h"
#include "report/map_recorder.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "uploader/upload_task.h"

namespace {

using Vextra::CommonInfo;
using namespace std::chrono_literals;

// Runs body while holding one or more locks.
using Hold = std::function<void(const std::function<void()>& body)>;

// Holds a lock on a thread of its own, as a thread stopped inside it would,
// until Release() or a safety minute.
class StoppedHolder {
 public:
  explicit StoppedHolder(const Hold& hold) {
    std::promise<void> holding;
    std::future<void> held = holding.get_future();
    thread_ = std::thread([this, hold, &holding] {
      hold([this, &holding] {
        holding.set_value();
        std::unique_lock<std::mutex> lock(mutex_);
        released_.wait_for(lock, 60s, [this] { return release_; });
        letGoUnasked_ = !release_;
      });
    });
    held.wait();
  }
  ~StoppedHolder() {
    Release();
    thread_.join();
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    released_.notify_all();
  }
  // Whether the holder let go before Release (the safety minute ran out).
  bool LetGoUnasked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return letGoUnasked_;
  }

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  bool letGoUnasked_ = false;
};

class CrashReportLocksTest : public testing::Test {
 protected:
  void SetUp() override {
    Vextra::testing_hooks::ResetNativeLogForTesting();
    CommonInfo& info = CommonInfo::Instance();
    info.ResetForTesting();
    info.SetAppId("app-locks");
    info.SetAppVersion("6.1.0");
    info.SetUserId("player-9");
    info.SetProcessName("game.exe");
    info.SetCrashUploadEnable(true);
    info.SetWorkspace(dir_.wpath(), true);
    ASSERT_TRUE(Vextra::FileManager::PrepareWorkspace(L""));
    records_ = std::make_unique<Vextra::DbManager>((dir_.path() / "records.db").wstring());
    ASSERT_TRUE(records_->IsOpen());
    ASSERT_TRUE(Vextra::PrintNativeLogMessage(4, "Game", "boss fight"));
    Vextra::MapRecorder::Instance().Set("map", "forest");
    // Other tests of the program may have left pairs in the process's store.
    std::vector<char> buffer(1048576, '\0');
    Vextra::MapRecorder::Instance().Dump(buffer.data(), buffer.size() - 1);
    userValues_ = buffer.data();
    ASSERT_EQ(userValues_.rfind("map=forest\n", 0), 0u);
  }
  void TearDown() override {
    Vextra::MapRecorder::Instance().Remove("map");
    Vextra::testing_hooks::ResetNativeLogForTesting();
    CommonInfo::Instance().ResetForTesting();
  }

  size_t DataFiles() const {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path() / "lumaro" / "vextra_data")) {
      if (entry.path().filename().string().rfind("crash_data.info_", 0) == 0) ++count;
    }
    return count;
  }

  vextra_test::TempDir dir_{"vextra-crash-locks"};
  std::unique_ptr<Vextra::DbManager> records_;
  std::string userValues_;  // the store's dump before any lock is held
};

std::string SdkLogText() {
  const std::wstring path = Vextra::SdkLog::Instance().FilePath();
  if (path.empty()) return {};
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(CrashReportLocksTest, ReportArrivesWhileAnotherThreadKeepsALockItNeeds) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  const std::string address = vextra_test::LoopbackAddress(42);
  const std::filesystem::path work = dir_.path() / "collector";
  std::filesystem::create_directories(work);
  vextra_test::CollectorProcess collector(address, work, {});
  ASSERT_TRUE(collector.Started()) << collector.Error();

  Vextra::DbManager& records = *records_;
  const Hold settings = [](const std::function<void()>& body) { CommonInfo::Instance().HoldLockForTesting(body); };
  const Hold userValues = [](const std::function<void()>& body) {
    Vextra::MapRecorder::Instance().HoldLockForTesting(body);
  };
  const Hold ring = [](const std::function<void()>& body) { Vextra::testing_hooks::HoldNativeLogLockForTesting(body); };
  const Hold connection = [&records](const std::function<void()>& body) { records.HoldConnectionForTesting(body); };
  const Hold sdkLog = [](const std::function<void()>& body) { Vextra::SdkLog::Instance().HoldLockForTesting(body); };
  const Hold everything = [&](const std::function<void()>& body) {
    settings([&] { userValues([&] { ring([&] { connection([&] { sdkLog(body); }); }); }); });
  };
  const Hold nothing = [](const std::function<void()>& body) { body(); };

  const struct Case {
    const char* name;
    Hold hold;
    bool ringSent;
    bool userValuesSent;
    bool recordStored;
  } kCases[] = {
      {"nothing held", nothing, true, true, true},
      {"settings", settings, true, true, true},
      {"user values", userValues, true, false, true},
      {"native log ring", ring, false, true, true},
      {"record connection", connection, true, true, false},
      {"SDK log", sdkLog, true, true, true},
      {"everything", everything, false, false, false},
  };

  const std::string dump = "MDMP dump bytes";
  std::vector<std::string> expuids;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const size_t filesBefore = DataFiles();
    int32_t status = 0;
    std::chrono::steady_clock::duration took{};
    bool holderLetGo = false;
    {
      StoppedHolder holder(c.hold);
      const auto start = std::chrono::steady_clock::now();
      // Made as the dump upload makes it: the task reads the settings too.
      Vextra::UploadTask task(Vextra::kCmdReport, Vextra::kReportTypeCrash, Vextra::MakeTlsTransport(address),
                              Vextra::UploadServices{records_.get()});
      expuids.push_back(task.GetExpUid());
      status = task.SendCrashReport(1, dump.data(), static_cast<int32_t>(dump.size()));
      took = std::chrono::steady_clock::now() - start;
      holderLetGo = holder.LetGoUnasked();
    }
    EXPECT_FALSE(holderLetGo) << "the report waited for the holder to let go";
    EXPECT_LT(took, 15s);
    EXPECT_EQ(status, 200);
    // The body is kept on disk whatever happens to its record.
    EXPECT_EQ(DataFiles(), filesBefore + 1);
  }
  // The record that could not be written is said so in the SDK log.
  const std::string sdkLogText = SdkLogText();
  EXPECT_NE(sdkLogText.find("record of report " + expuids[4] + " not stored"), std::string::npos);
  EXPECT_EQ(sdkLogText.find("record of report " + expuids[0] + " not stored"), std::string::npos);
  ASSERT_TRUE(collector.Stop()) << collector.Error();

  vextra_test::RawDb seen(collector.DbPath());
  vextra_test::RawDb local(dir_.path() / "records.db");
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const Case& c = kCases[i];
    SCOPED_TRACE(c.name);
    const std::string report = "(SELECT id FROM reports WHERE expuid='" + expuids[i] + "')";
    ASSERT_EQ(seen.Cell("SELECT COUNT(*) FROM reports WHERE expuid='" + expuids[i] + "'"), "1");
    // The settings as last published travel whatever is held.
    EXPECT_EQ(seen.Cell("SELECT type || '|' || ehType || '|' || userid || '|' || pidName FROM reports WHERE id=" +
                        report),
              "101|1|player-9|game.exe");
    EXPECT_EQ(seen.Cell("SELECT prodId || '|' || version FROM requests WHERE id=(SELECT request_id FROM reports "
                        "WHERE id=" + report + ")"),
              "app-locks|6.1.0");
    const auto attachment = [&](const char* name) {
      return seen.Cell("SELECT content FROM attachments WHERE fileName='" + std::string(name) +
                       "' AND report_id=" + report);
    };
    EXPECT_EQ(seen.Cell("SELECT data FROM attachments WHERE fileName='minidump.zip' AND report_id=" + report), dump);
    EXPECT_EQ(attachment("vextraLog.zip").find("boss fight") != std::string::npos, c.ringSent);
    EXPECT_EQ(attachment("valueOtherMap.zip"), c.userValuesSent ? userValues_ : "");
    EXPECT_EQ(local.Cell("SELECT COUNT(*) || '/' || IFNULL(MAX(STATUS), '-') FROM T_CRASH_RECORD WHERE GUID='" +
                         expuids[i] + "'"),
              c.recordStored ? "1/1" : "0/-");
  }
}

// A setter that cannot have the setters' lock drops its change after a
// bounded wait; readers go on reading the copy published last.
TEST_F(CrashReportLocksTest, SettersGiveUpOnAStoppedSetterAndReadersKeepTheLastCopy) {
  CommonInfo& info = CommonInfo::Instance();
  StoppedHolder holder([](const std::function<void()>& body) { CommonInfo::Instance().HoldLockForTesting(body); });
  const auto start = std::chrono::steady_clock::now();
  info.SetUserId("someone-else");
  EXPECT_FALSE(info.SetDeviceId("device-2"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  EXPECT_EQ(info.GetUserId(), "player-9");
  EXPECT_EQ(info.GetReportSettings().appId, "app-locks");
  EXPECT_FALSE(holder.LetGoUnasked());
}

}  // namespace
