// Report assembly end to end: an error report and a crash report assembled by
// the upload task, sent over TLS to the real reference collector, and read
// back from the collector's database field by field. Attachments are inflated
// here with plain zlib, independently of the library's own code.
//
// Loopback hosts of this test program used here: 40 and 41 (see
// upload_task_test.cpp for how the collector is found and started).

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/common_info.h"
#include "core/protocol_names.h"
#include "crash/crash_callbacks.h"
#include "db/db_manager.h"
#include "db/raw_db.h"
#include "log/native_log_ring.h"
#include "report/error_info.h"
#include "report/file_manager.h"
#include "report/map_recorder.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "uploader/upload_task.h"
#include "vextra.h"
#include "support/inflate_whole.h"

namespace {

using Vextra::CommonInfo;

// A zlib stream (RFC 1950, window bits 15) inflated whole; *ok false when the
// bytes are not exactly one complete stream.
std::string Inflate(const std::string& stream, bool* ok) { return vextra_test::InflateZlib(stream, ok); }

// Compressible bytes that differ line by line, so a wrong offset shows.
std::string LogLines(size_t size) {
  std::string text;
  text.reserve(size + 64);
  for (int line = 0; text.size() < size; ++line) {
    text += "line " + std::to_string(line) + " frame=" + std::to_string(line * 7919 % 100003) + "\n";
  }
  text.resize(size);
  return text;
}

class TextObserver : public HRBCrashObserver {
 public:
  const char* OnCrashExtraMessage(int32_t kind) override {
    kinds.push_back(kind);
    return text.c_str();
  }
  std::string text;
  std::vector<int32_t> kinds;
};

class ReportAssemblyTest : public testing::Test {
 protected:
  void SetUp() override {
    Vextra::testing_hooks::ResetNativeLogForTesting();
    CommonInfo& info = CommonInfo::Instance();
    info.ResetForTesting();
    info.SetAppId("app-assembly");
    info.SetAppVersion("5.0.1");
    info.SetUserId("player-7");
    info.SetProcessName("game.exe");
    info.SetCpu("Test CPU @ 3.0GHz");
    info.SetBootTime(1700000123);
    info.SetStrategyJson("{\"KEY_VEXTRA_DISABLE\":\"0\",\"KEY_X\":\"y\"}");
    info.SetWorkspace(dir_.wpath(), true);
    Vextra::FileManager::Instance();
    ASSERT_TRUE(Vextra::FileManager::PrepareWorkspace(L""));
    records_ = std::make_unique<Vextra::DbManager>((dir_.path() / "records.db").wstring());
    ASSERT_TRUE(records_->IsOpen());
    strategy_ = std::make_unique<Vextra::StrategyManager>([](const Vextra::StrategyMap&) { return true; });
  }
  void TearDown() override {
    Vextra::SetCrashObserver(nullptr);
    Vextra::testing_hooks::ResetNativeLogForTesting();
    CommonInfo::Instance().ResetForTesting();
  }

  std::unique_ptr<vextra_test::CollectorProcess> StartCollector(const std::string& address) {
    const std::filesystem::path work = dir_.path() / ("collector-" + address);
    std::filesystem::create_directories(work);
    return std::make_unique<vextra_test::CollectorProcess>(address, work, std::vector<std::string>{});
  }

  // A task without a data-file writer: the assembly must supply the process's.
  std::unique_ptr<Vextra::UploadTask> Task(int32_t reportType, const std::string& address) {
    return std::make_unique<Vextra::UploadTask>(Vextra::kCmdReport, reportType, Vextra::MakeTlsTransport(address),
                                                Vextra::UploadServices{records_.get(), strategy_.get()});
  }

  static std::string NativeLogText() {
    std::vector<char> buffer(1048576, '\0');
    Vextra::ReadNativeLog(buffer.data(), static_cast<uint32_t>(buffer.size() - 1));
    return buffer.data();
  }
  static std::string UserValuesText() {
    std::vector<char> buffer(1048576, '\0');
    Vextra::MapRecorder::Instance().Dump(buffer.data(), buffer.size() - 1);
    return buffer.data();
  }

  // Every attachment of the one report in the collector's database: name to
  // raw data, in the order they were added.
  static std::vector<std::pair<std::string, std::string>> Attachments(vextra_test::RawDb& seen) {
    const std::vector<std::string> cells = seen.Cells("SELECT fileName, data, type FROM attachments ORDER BY id");
    std::vector<std::pair<std::string, std::string>> list;
    for (size_t i = 0; i + 2 < cells.size(); i += 3) {
      EXPECT_EQ(cells[i + 2], "2") << cells[i];
      list.emplace_back(cells[i], cells[i + 1]);
    }
    return list;
  }
  static std::map<std::string, std::string> Map(vextra_test::RawDb& seen, const std::string& map) {
    const std::vector<std::string> cells =
        seen.Cells("SELECT key, value FROM map_entries WHERE owner='report' AND map='" + map + "'");
    std::map<std::string, std::string> pairs;
    for (size_t i = 0; i + 1 < cells.size(); i += 2) pairs[cells[i]] = cells[i + 1];
    return pairs;
  }

  vextra_test::TempDir dir_{"vextra-report-assembly"};
  std::unique_ptr<Vextra::DbManager> records_;
  std::unique_ptr<Vextra::StrategyManager> strategy_;
};

#define START_COLLECTOR_OR_SKIP(collector)                                       \
  do {                                                                           \
    std::string why_;                                                            \
    if (vextra_test::CollectorProgram(&why_).empty()) {                          \
      ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why_; \
      GTEST_SKIP() << why_;                                                      \
    }                                                                            \
    ASSERT_TRUE((collector)->Started()) << (collector)->Error();                 \
  } while (0)

void ExpectStream(const std::pair<std::string, std::string>& attachment, const std::string& expected) {
  SCOPED_TRACE(attachment.first);
  bool ok = false;
  const std::string inflated = Inflate(attachment.second, &ok);
  EXPECT_TRUE(ok) << "not one complete zlib stream";
  EXPECT_EQ(inflated.size(), expected.size());
  EXPECT_TRUE(inflated == expected) << "inflated bytes differ";
}

TEST_F(ReportAssemblyTest, ErrorReportArrivesWithEveryFieldAndAttachment) {
  const std::string address = vextra_test::LoopbackAddress(40);
  auto collector = StartCollector(address);
  START_COLLECTOR_OR_SKIP(collector);

  ASSERT_TRUE(Vextra::PrintNativeLogMessage(4, "Game", "level loaded"));
  ASSERT_TRUE(Vextra::PrintNativeLogMessage(5, "Net", "socket closed"));
  Vextra::MapRecorder::Instance().Set("map", "forest");
  Vextra::MapRecorder::Instance().Set("players", "12");
  const std::string logText = NativeLogText();
  const std::string userValues = UserValuesText();
  ASSERT_NE(logText.find("level loaded"), std::string::npos);
  ASSERT_NE(userValues.find("map=forest"), std::string::npos);

  const std::string fileBytes = LogLines(6000000);
  const std::filesystem::path logFile = dir_.path() / "game.log";
  std::ofstream(logFile, std::ios::binary) << fileBytes;

  TextObserver observer;
  observer.text = "scene=arena";
  Vextra::SetCrashObserver(&observer);

  Vextra::ErrorInfo info;
  info.type = 4;
  info.name = "LuaError";
  info.message = "attempt to index a nil value";
  info.stack = "stack traceback:\n\t[C]: in function 'error'\n\tmain.lua:12: in main chunk";
  info.extraInfo = R"({"zone":"north","hp":42,"quest":{"id":"q1","step":"3"},"note":"a\"b\\c"})";
  info.isEmpty = false;
  info.logPath = logFile.wstring();

  auto task = Task(Vextra::kReportTypeError, address);
  const std::string expuid = task->GetExpUid();
  EXPECT_EQ(task->SendErrorReport(info), 200);
  ASSERT_TRUE(collector->Stop()) << collector->Error();

  vextra_test::RawDb seen(collector->DbPath());
  ASSERT_EQ(seen.Cell("SELECT COUNT(*) FROM reports"), "1");
  EXPECT_EQ(seen.Cell("SELECT cmd FROM requests"), "830");
  const struct {
    const char* column;
    std::string value;
  } kFields[] = {
      {"type", "107"},
      {"expName", info.name},
      {"expMessage", info.message},
      {"callStack", info.stack},
      {"expuid", expuid},
      {"userid", "player-7"},
      {"pidName", "game.exe"},
      {"deviceBootTime", "1700000123"},
      {"ehType", "0"},
  };
  for (const auto& f : kFields) {
    SCOPED_TRACE(f.column);
    EXPECT_EQ(seen.Cell(std::string("SELECT ") + f.column + " FROM reports"), f.value);
  }
  ASSERT_EQ(expuid.size(), 32u);
  EXPECT_EQ(expuid.find_first_not_of("0123456789ABCDEF"), std::string::npos);

  const std::map<std::string, std::string> values = Map(seen, "valueMap");
  for (const char* key : {"A1", "A9", "A6", "A34", "A18", "G05"}) EXPECT_EQ(values.count(key), 1u) << key;
  EXPECT_EQ(values.size(), 6u);
  EXPECT_EQ(values.at("A6"), "Test CPU @ 3.0GHz");
  EXPECT_EQ(values.at("A34"), "game.exe");
  EXPECT_EQ(values.at("A18"), "1700000123");
  EXPECT_EQ(values.at("G05"), "{\"KEY_VEXTRA_DISABLE\":\"0\",\"KEY_X\":\"y\"}");
  EXPECT_EQ(values.at("A1"), seen.Cell("SELECT phyMemAll FROM requests"));
  EXPECT_EQ(values.at("A9"), seen.Cell("SELECT phyMemUsed FROM requests"));

  const std::map<std::string, std::string> expectedUser = {
      {"", ""},            // the closing brace of the outer object
      {"hp", ""},          // unquoted values are skipped
      {"note", "a\"b\\c"}, // escapes keep the escaped byte
      {"quest", "idq1"},   // the nested object's first two quoted texts, joined
      {"step", "3"},       // the comma in the nested object ended that pair
      {"zone", "north"},
      {"extmsg", "scene=arena"},
  };
  EXPECT_EQ(Map(seen, "userMap"), expectedUser);
  EXPECT_EQ(observer.kinds, std::vector<int32_t>{4});

  const auto attachments = Attachments(seen);
  ASSERT_EQ(attachments.size(), 3u);
  EXPECT_EQ(attachments[0].first, "vextraLog.zip");
  EXPECT_EQ(attachments[1].first, "valueOtherMap.zip");
  EXPECT_EQ(attachments[2].first, "logFile.zip");
  ExpectStream(attachments[0], logText);
  ExpectStream(attachments[1], userValues);
  ExpectStream(attachments[2], fileBytes.substr(6000000 - 5242880));

  // The body was kept in a data file and its record marked delivered.
  vextra_test::RawDb local(dir_.path() / "records.db");
  EXPECT_EQ(local.Cell("SELECT GUID || '/' || STATUS FROM T_CRASH_RECORD"), expuid + "/1");
  const std::string dataFile = local.Cell("SELECT PATH FROM T_CRASH_RECORD");
  EXPECT_NE(dataFile.find("error_data.info_"), std::string::npos) << dataFile;
}

TEST_F(ReportAssemblyTest, CrashReportCarriesTheDumpAndAsksTheObserverWithTwo) {
  const std::string address = vextra_test::LoopbackAddress(41);
  auto collector = StartCollector(address);
  START_COLLECTOR_OR_SKIP(collector);

  const std::string logBytes = LogLines(5242880);  // exactly the limit: sent whole
  const std::filesystem::path logFile = dir_.path() / "custom.log";
  std::ofstream(logFile, std::ios::binary) << logBytes;
  CommonInfo::Instance().SetCustomLogPath(logFile.wstring());
  CommonInfo::Instance().SetCrashUploadEnable(true);

  TextObserver observer;
  observer.text = "crash context";
  Vextra::SetCrashObserver(&observer);

  std::string dump = "MDMP";
  for (int i = 0; i < 5000; ++i) dump += static_cast<char>(i * 31);
  auto task = Task(Vextra::kReportTypeCrash, address);
  task->SetExpUid("0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(task->SendCrashReport(1, dump.data(), static_cast<int32_t>(dump.size())), 200);
  ASSERT_TRUE(collector->Stop()) << collector->Error();

  vextra_test::RawDb seen(collector->DbPath());
  EXPECT_EQ(seen.Cell("SELECT type || '|' || expName || '|' || ehType || '|' || expuid FROM reports"),
            "101|crash|1|0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(seen.Cell("SELECT expMessage FROM reports"), "Please check minidump for stacktrace!");
  EXPECT_EQ(seen.Cell("SELECT callStack FROM reports"), "Please check minidump for stacktrace!");
  EXPECT_EQ(observer.kinds, std::vector<int32_t>{2});
  EXPECT_EQ(Map(seen, "userMap"), (std::map<std::string, std::string>{{"extmsg", "crash context"}}));

  const auto attachments = Attachments(seen);
  ASSERT_EQ(attachments.size(), 4u);
  EXPECT_EQ(attachments[0].first, "minidump.zip");
  EXPECT_TRUE(attachments[0].second == dump) << "the dump travels unchanged";
  EXPECT_EQ(attachments[1].first, "vextraLog.zip");
  EXPECT_EQ(attachments[2].first, "valueOtherMap.zip");
  EXPECT_EQ(attachments[3].first, "logFile.zip");
  ExpectStream(attachments[3], logBytes);

  vextra_test::RawDb local(dir_.path() / "records.db");
  EXPECT_NE(local.Cell("SELECT PATH FROM T_CRASH_RECORD").find("crash_data.info_"), std::string::npos);
}

}  // namespace
