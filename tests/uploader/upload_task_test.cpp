// Upload tasks: the body, data-file and record bookkeeping of Send, the
// withheld crash upload, SendRaw and the handling of the 840 answer.
//
// Most tests talk TLS to the real reference collector (tools/collector),
// started per case as a child process on its own loopback address
// 127.A.B.N:443 (A.B drawn per test program, N from 2 up, one per case) and
// stopped before its database is read. Finding and starting it is tests/uploader/collector_process.h:
//   - Linux: the program the build made (compiled in as VEXTRA_COLLECTOR_PATH),
//     or the environment variable VEXTRA_COLLECTOR; runs as root for port 443.
//   - Windows build under Wine: VEXTRA_COLLECTOR must name the Linux program
//     (a Linux path, e.g. /work/main/build/linux/tools/vextra-collector); the
//     test starts it through Wine and stops it with a stop file. Without that
//     variable, or outside Wine, the collector tests are skipped with a reason.
// The remaining tests use a scripted transport and need no network.

#include "uploader/upload_task.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "VextraPkg.pb.h"
#include "core/common_info.h"
#include "db/db_manager.h"
#include "db/raw_db.h"
#include "platform/text_encoding.h"
#include "report/file_manager.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/body_codec.h"
#include "uploader/collector_process.h"
#include "uploader/report_builder.h"
#include "uploader/upload_task_factory.h"

namespace {

using Vextra::CommonInfo;
using Vextra::HttpAnswer;
using Vextra::HttpHeaders;
using Vextra::HttpTransport;
using Vextra::ReportBuilder;
using Vextra::StrategyManager;
using Vextra::StrategyMap;
using Vextra::UploadServices;
using Vextra::UploadTask;

constexpr char kAppId[] = "app-upload";
constexpr char kAppVersion[] = "3.1.4";

struct Record {
  std::string path;
  std::string guid;
  int status;
  int retryCount;
  int uploadable;
};

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Upper-case hexadecimal, as SQLite's hex() writes it.
std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

// The UniPacket inside a request body; empty when the body is not one.
VextraPkg::UniPacket PacketOf(const std::string& body) {
  VextraPkg::UniPacket packet;
  if (!packet.ParseFromString(Vextra::DecompressBody(body))) packet.Clear();
  return packet;
}

// Settings, data directory, record database and strategy manager of one test,
// all under a fresh temporary directory.
class UploadTaskTest : public testing::Test {
 protected:
  void SetUp() override { Prepare(); }
  void TearDown() override { CommonInfo::Instance().ResetForTesting(); }

  // Fresh settings, record database and strategy manager; table rows call it
  // once each so that no row sees another's records.
  void Prepare() {
    ++run_;
    CommonInfo& info = CommonInfo::Instance();
    info.ResetForTesting();
    info.SetAppId(kAppId);
    info.SetAppVersion(kAppVersion);
    info.SetWorkspace(dir_.wpath(), true);
    Vextra::FileManager::Instance();  // its first use prepares the workspace set just now
    ASSERT_TRUE(Vextra::FileManager::PrepareWorkspace(L""));
    records_ = std::make_unique<Vextra::DbManager>(RecordsFile().wstring());
    ASSERT_TRUE(records_->IsOpen());
    saved_.clear();
    strategy_ = std::make_unique<StrategyManager>([this](const StrategyMap& map) {
      saved_.push_back(map);
      return true;
    });
    strategy_->Update({{"KEY_VEXTRA_DISABLE", "0"}, {"KEY_STORED", "old"}});  // the start-up load
  }

  std::filesystem::path RecordsFile() const { return dir_.path() / ("records-" + std::to_string(run_) + ".db"); }
  UploadServices Services() { return UploadServices{records_.get(), strategy_.get(), &Vextra::WriteReportDataFile}; }

  std::unique_ptr<UploadTask> TlsTask(int32_t cmd, int32_t reportType, const std::string& host) {
    return std::make_unique<UploadTask>(cmd, reportType, Vextra::MakeTlsTransport(host), Services());
  }

  // Fills a crash or error report of the task and sends it.
  static int32_t SendReport(UploadTask& task) {
    if (task.GetReportType() == Vextra::kReportTypeCrash) {
      ReportBuilder builder(2, task.GetExpUid());
      builder.FillCommon(Vextra::EnvelopeFacts{});
      return task.SendAssembled(builder);
    }
    ReportBuilder builder("LuaError", "attempt to call a nil value", task.GetExpUid());
    builder.FillCommon(Vextra::EnvelopeFacts{});
    return task.SendAssembled(builder);
  }

  std::vector<Record> Records() {
    vextra_test::RawDb db(RecordsFile());
    const std::vector<std::string> cells =
        db.Cells("SELECT PATH, GUID, STATUS, RETRY_COUNT, UPLOADABLE FROM T_CRASH_RECORD ORDER BY ID");
    std::vector<Record> rows;
    for (size_t i = 0; i + 4 < cells.size(); i += 5) {
      rows.push_back({cells[i], cells[i + 1], std::stoi(cells[i + 2]), std::stoi(cells[i + 3]), std::stoi(cells[i + 4])});
    }
    return rows;
  }

  // A collector on address with the extra arguments, in its own directory.
  std::unique_ptr<vextra_test::CollectorProcess> StartCollector(const std::string& address,
                                                                 const std::vector<std::string>& args) {
    const std::filesystem::path work = dir_.path() / ("collector-" + address);
    std::filesystem::create_directories(work);
    return std::make_unique<vextra_test::CollectorProcess>(address, work, args);
  }

  vextra_test::TempDir dir_{"vextra-upload-task"};
  int run_ = 0;
  std::unique_ptr<Vextra::DbManager> records_;
  std::vector<StrategyMap> saved_;  // maps the strategy manager stored
  std::unique_ptr<StrategyManager> strategy_;
};

// Skips when no collector program can run here, unless the run must provide
// one (VEXTRA_REQUIRE_COLLECTOR=1, as `make test` sets it); fails when one
// should have started.
#define START_COLLECTOR_OR_SKIP(collector)                                       \
  do {                                                                           \
    std::string why_;                                                            \
    if (vextra_test::CollectorProgram(&why_).empty()) {                          \
      ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why_; \
      GTEST_SKIP() << why_;                                                      \
    }                                                                            \
    ASSERT_TRUE((collector)->Started()) << (collector)->Error();                 \
  } while (0)

TEST_F(UploadTaskTest, ReportOutcomesAndTheirRecords) {
  static const struct {
    const char* name;
    int host;  // of the loopback address
    bool runCollector;
    std::vector<std::string> collectorArgs;
    bool crashUploadEnable;
    int32_t reportType;
    int32_t result;
    int status;
    int retryCount;
    int collectorRequests;  // requests the collector stored
  } kCases[] = {
      {"crash withheld while crash uploads are off", 2, true, {}, false, 101, -1, 0, 0, 0},
      {"error report posts while crash uploads are off", 3, true, {}, false, 107, 200, 1, 0, 1},
      {"crash report posts while crash uploads are on", 4, true, {}, true, 101, 200, 1, 0, 1},
      {"server error is an answer", 5, true, {"--http-status", "500"}, true, 107, 500, 1, 0, 1},
      {"unreachable server", 6, false, {}, true, 107, -1, 2, 1, 0},
      {"coded answer counts as none", 7, true, {"--gzip-encoding-header"}, true, 101, -1, 2, 1, 1},
      {"connection closed without answer", 8, true, {"--drop"}, true, 107, -1, 2, 1, 1},
      // Only the answer to user information may touch the strategy.
      {"report answer with a status text leaves the strategy",
       19,
       true,
       {"--status-text", "closed", "--strategy", "KEY_VEXTRA_DISABLE=1"},
       true,
       107,
       200,
       1,
       0,
       1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Prepare();
    const std::string address = vextra_test::LoopbackAddress(c.host);
    std::unique_ptr<vextra_test::CollectorProcess> collector;
    if (c.runCollector) {
      collector = StartCollector(address, c.collectorArgs);
      START_COLLECTOR_OR_SKIP(collector);
    }
    CommonInfo::Instance().SetCrashUploadEnable(c.crashUploadEnable);
    const std::string strategyBefore = CommonInfo::Instance().GetStrategyJson();

    auto task = TlsTask(Vextra::kCmdReport, c.reportType, address);
    EXPECT_EQ(SendReport(*task), c.result);
    EXPECT_TRUE(saved_.empty());
    EXPECT_EQ(CommonInfo::Instance().GetStrategyJson(), strategyBefore);
    EXPECT_FALSE(strategy_->IsDisabled());

    const std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].guid, task->GetExpUid());
    EXPECT_EQ(records[0].status, c.status);
    EXPECT_EQ(records[0].retryCount, c.retryCount);
    EXPECT_EQ(records[0].uploadable, c.crashUploadEnable ? 1 : 0);

    // The data file holds the gzip body, which carries this report.
    const std::string stored = ReadFileBytes(records[0].path);
    ASSERT_GE(stored.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(stored[0]), 0x1F);
    EXPECT_EQ(static_cast<unsigned char>(stored[1]), 0x8B);
    const VextraPkg::UniPacket packet = PacketOf(stored);
    EXPECT_EQ(packet.encodename(), "utf-8");
    EXPECT_EQ(packet.irequestid(), 1);
    EXPECT_EQ(packet.sservantname(), "KplServer");
    EXPECT_EQ(packet.sfuncname(), "sync");
    EXPECT_EQ(packet.request().cmd(), Vextra::kCmdReport);
    VextraPkg::ExceptionUploadPackage package;
    ASSERT_TRUE(package.ParseFromString(packet.request().sbuffer()));
    ASSERT_EQ(package.list_size(), 1);
    EXPECT_EQ(package.list(0).expuid(), task->GetExpUid());
    EXPECT_EQ(package.list(0).type(), std::to_string(c.reportType));

    if (collector) {
      ASSERT_TRUE(collector->Stop()) << collector->Error();
      vextra_test::RawDb seen(collector->DbPath());
      EXPECT_EQ(seen.Cell("SELECT COUNT(*) FROM requests"), std::to_string(c.collectorRequests));
      if (c.collectorRequests == 1) {
        // What was posted is byte for byte what was kept for a later re-send.
        EXPECT_EQ(seen.Cell("SELECT hex(body) FROM requests"), HexOf(stored));
        EXPECT_EQ(seen.Cell("SELECT expuid FROM reports"), task->GetExpUid());
      }
    }
  }
}

TEST_F(UploadTaskTest, RequestsCarryTheProtocolHeadersAndNoContentCoding) {
  const std::string address = vextra_test::LoopbackAddress(9);
  auto collector = StartCollector(address, {});
  START_COLLECTOR_OR_SKIP(collector);
  auto task = TlsTask(Vextra::kCmdReport, Vextra::kReportTypeError, address);
  // Settings changed after construction do not reach the task's headers.
  CommonInfo::Instance().SetAppId("changed-later");
  EXPECT_EQ(SendReport(*task), 200);
  ASSERT_TRUE(collector->Stop()) << collector->Error();

  vextra_test::RawDb seen(collector->DbPath());
  const struct {
    const char* name;
    const char* value;
  } kHeaders[] = {
      {"cmd", "830"},
      {"prodId", kAppId},
      {"platformId", "10"},
      {"appVer", kAppVersion},
      {"Content-Type", "application/octet-stream"},
      {"Connection", "close"},
      {"Host", address.c_str()},
      {"Accept", "*/*"},
      {"User-Agent", "cpp-httplib/0.7"},
  };
  for (const auto& h : kHeaders) {
    SCOPED_TRACE(h.name);
    EXPECT_EQ(seen.Cell(std::string("SELECT value FROM request_headers WHERE name='") + h.name + "'"), h.value);
  }
  EXPECT_EQ(seen.Cell("SELECT COUNT(*) FROM request_headers WHERE name IN ('Content-Encoding', 'Accept-Encoding')"),
            "0");
  EXPECT_EQ(seen.Cell("SELECT path FROM requests"), "/pb/async");
  EXPECT_EQ(seen.Cell("SELECT value FROM request_headers WHERE name='Content-Length'"),
            seen.Cell("SELECT body_size FROM requests"));
}

TEST_F(UploadTaskTest, LineEndsInHeaderValuesNeverStartAHeaderLine) {
  static const struct {
    const char* name;
    std::string appId;
    std::string appVersion;
    std::string sentAppId;  // the header values the collector receives
    std::string sentAppVersion;
  } kCases[] = {
      {"clean", kAppId, kAppVersion, kAppId, kAppVersion},
      {"CR LF in the app id", "app\r\nX-Injected: yes", kAppVersion, "app  X-Injected: yes", kAppVersion},
      {"lone LF and CR in the version", kAppId, "1\nX-Injected: yes\rX-Other: 1", kAppId,
       "1 X-Injected: yes X-Other: 1"},
      {"NUL in the app id", std::string("app\0X-Injected: yes", 19), kAppVersion, "app X-Injected: yes", kAppVersion},
  };
  auto collector = StartCollector(vextra_test::LoopbackAddress(20), {});
  START_COLLECTOR_OR_SKIP(collector);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CommonInfo::Instance().SetAppId(c.appId);
    CommonInfo::Instance().SetAppVersion(c.appVersion);
    auto task = TlsTask(Vextra::kCmdReport, Vextra::kReportTypeError, vextra_test::LoopbackAddress(20));
    EXPECT_EQ(SendReport(*task), 200);
  }
  ASSERT_TRUE(collector->Stop()) << collector->Error();

  vextra_test::RawDb seen(collector->DbPath());
  ASSERT_EQ(seen.Cell("SELECT COUNT(*) FROM requests"), std::to_string(std::size(kCases)));
  // Every request carries the header names of the clean one, and no more.
  const std::vector<std::string> counts =
      seen.Cells("SELECT COUNT(*) FROM request_headers GROUP BY request_id ORDER BY request_id");
  EXPECT_EQ(counts, std::vector<std::string>(std::size(kCases), counts.at(0)));
  EXPECT_EQ(seen.Cell("SELECT COUNT(*) FROM request_headers WHERE name NOT IN (SELECT name FROM request_headers "
                      "WHERE request_id = (SELECT MIN(request_id) FROM request_headers))"),
            "0");
  EXPECT_EQ(seen.Cell("SELECT COUNT(*) FROM request_headers WHERE name LIKE 'X-%'"), "0");
  std::vector<std::string> appIds;
  std::vector<std::string> appVersions;
  for (const auto& c : kCases) {
    appIds.push_back(c.sentAppId);
    appVersions.push_back(c.sentAppVersion);
  }
  EXPECT_EQ(seen.Cells("SELECT value FROM request_headers WHERE name='prodId' ORDER BY request_id"), appIds);
  EXPECT_EQ(seen.Cells("SELECT value FROM request_headers WHERE name='appVer' ORDER BY request_id"), appVersions);
}

TEST(HeaderFieldValueTest, LineEndsAndNulBecomeBlanks) {
  static const struct {
    std::string value;
    std::string sent;
  } kCases[] = {
      {"", ""},
      {"app-1 \t\x7F\xE9", "app-1 \t\x7F\xE9"},
      {"a\r\nb", "a  b"},
      {std::string("\0\r\n", 3), "   "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Vextra::HeaderFieldValue(c.value), c.sent);
  }
}

TEST_F(UploadTaskTest, UserInfoAnswerDecidesTheStrategy) {
  static const struct {
    const char* name;
    int host;  // of the loopback address
    std::vector<std::string> collectorArgs;
    int32_t result;
    bool stored;  // whether the answer replaced the stored strategy
    StrategyMap expected;
    bool disabled;
  } kCases[] = {
      {"strategy map", 10, {"--strategy", "KEY_VEXTRA_DISABLE=0", "--strategy", "KEY_NEW=v"}, 200, true,
       {{"KEY_NEW", "v"}, {"KEY_VEXTRA_DISABLE", "0"}}, false},
      {"status text disables whatever the strategy",
       11,
       {"--status-text", "closed", "--strategy", "KEY_VEXTRA_DISABLE=0"},
       200,
       true,
       {{"KEY_VEXTRA_DISABLE", "1"}},
       true},
      {"error status is decoded too", 12, {"--http-status", "500", "--status-text", "x"}, 500, true,
       {{"KEY_VEXTRA_DISABLE", "1"}}, true},
      {"non-gzip answer changes nothing", 13, {"--plain-body", "--status-text", "closed"}, 200, false, {},
       false},
      {"empty answer changes nothing", 14, {"--http-status", "204", "--status-text", "closed"}, 204, false,
       {}, false},
      {"coded answer is no answer", 15, {"--gzip-encoding-header", "--status-text", "closed"}, -1, false,
       {}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Prepare();
    const std::string address = vextra_test::LoopbackAddress(c.host);
    auto collector = StartCollector(address, c.collectorArgs);
    START_COLLECTOR_OR_SKIP(collector);
    const std::string jsonBefore = CommonInfo::Instance().GetStrategyJson();

    auto task = TlsTask(Vextra::kCmdUserInfo, 0, address);
    EXPECT_EQ(task->SendUserInfo(), c.result);

    if (c.stored) {
      ASSERT_EQ(saved_.size(), 1u);
      EXPECT_EQ(saved_[0], c.expected);
    } else {
      EXPECT_TRUE(saved_.empty());
      EXPECT_EQ(CommonInfo::Instance().GetStrategyJson(), jsonBefore);
    }
    EXPECT_EQ(strategy_->IsDisabled(), c.disabled);
    EXPECT_TRUE(Records().empty());  // user information is never recorded

    ASSERT_TRUE(collector->Stop()) << collector->Error();
    vextra_test::RawDb seen(collector->DbPath());
    EXPECT_EQ(seen.Cell("SELECT cmd FROM requests"), "840");
    EXPECT_EQ(seen.Cell("SELECT COUNT(*) FROM summaries"), "1");
  }
}

TEST_F(UploadTaskTest, SendRawPostsStoredBytesUnchangedAndNothingForNoBytes) {
  const std::string address = vextra_test::LoopbackAddress(16);
  auto collector = StartCollector(address, {});
  START_COLLECTOR_OR_SKIP(collector);
  auto task = TlsTask(Vextra::kCmdReport, Vextra::kReportTypeCrash, address);
  const std::string stored = "stored body \x1F\x8B with any bytes";
  EXPECT_FALSE(task->SendRaw(stored.data(), 0));
  EXPECT_FALSE(task->SendRaw(stored.data(), -5));
  EXPECT_FALSE(task->SendRaw(nullptr, 10));
  EXPECT_TRUE(task->SendRaw(stored.data(), static_cast<int32_t>(stored.size())));
  ASSERT_TRUE(collector->Stop()) << collector->Error();

  vextra_test::RawDb seen(collector->DbPath());
  EXPECT_EQ(seen.Cell("SELECT COUNT(*) FROM requests"), "1");  // only the real one connected
  EXPECT_EQ(seen.Cell("SELECT body FROM requests"), stored);
  EXPECT_TRUE(Records().empty());
}

TEST_F(UploadTaskTest, SendRawWithoutServerIsFalse) {
  auto task = TlsTask(Vextra::kCmdReport, Vextra::kReportTypeCrash, vextra_test::LoopbackAddress(17));
  const std::string stored = "body";
  EXPECT_FALSE(task->SendRaw(stored.data(), static_cast<int32_t>(stored.size())));
}

// --- Without network: a scripted transport ---------------------------------

class ScriptedTransport : public HttpTransport {
 public:
  ScriptedTransport(HttpAnswer answer, std::vector<std::string>* posted) : answer_(std::move(answer)), posted_(posted) {}
  HttpAnswer Post(const std::string& path, const HttpHeaders&, const std::string& body,
                  const std::string& contentType, size_t) override {
    EXPECT_EQ(path, "/pb/async");
    EXPECT_EQ(contentType, "application/octet-stream");
    posted_->push_back(body);
    return answer_;
  }

 private:
  HttpAnswer answer_;
  std::vector<std::string>* posted_;
};

std::string GzipAnswer(const std::string& status, const StrategyMap& valueMap) {
  VextraPkg::KplStrategy strategy;
  for (const auto& entry : valueMap) (*strategy.mutable_valuemap())[entry.first] = entry.second;
  VextraPkg::UniPacket packet;
  packet.mutable_response()->set_status(status);
  packet.mutable_response()->set_sbuffer(strategy.SerializeAsString());
  std::string body;
  EXPECT_TRUE(Vextra::CompressBody(packet.SerializeAsString(), &body));
  return body;
}

TEST(StrategyFromAnswerTest, AnswerBodiesToStrategyMaps) {
  std::string oversized;
  {
    StrategyMap big;
    for (int i = 0; i < 3000; ++i) big["KEY_" + std::to_string(i)] = std::string(40, static_cast<char>('a' + i % 26));
    oversized = GzipAnswer("", big);
  }
  static const struct {
    const char* name;
    std::string body;
    StrategyMap expected;
  } kCases[] = {
      {"strategy", GzipAnswer("", {{"KEY_VEXTRA_DISABLE", "0"}, {"K", ""}}), {{"KEY_VEXTRA_DISABLE", "0"}, {"K", ""}}},
      {"status text wins over the map", GzipAnswer("any", {{"KEY_VEXTRA_DISABLE", "0"}, {"K", "v"}}),
       {{"KEY_VEXTRA_DISABLE", "1"}}},
      {"no strategy", GzipAnswer("", {}), {}},
      {"empty body", "", {}},
      {"not gzip", "\x3A\x02\x32\x00", {}},
      {"gzip of garbage", [] {
         std::string body;
         Vextra::CompressBody("\xFF\xFF\xFF\xFF", &body);
         return body;
       }(),
       {}},
      // Only the first 100 KiB inflate; the cut packet does not parse.
      {"answer beyond the inflate limit", oversized, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Vextra::StrategyFromAnswer(c.body), c.expected);
  }
}

TEST_F(UploadTaskTest, WithoutDataDirectoryTheReportStillPostsButLeavesNoRecord) {
  CommonInfo::Instance().SetDataDirReady(false);
  std::vector<std::string> posted;
  UploadTask task(Vextra::kCmdReport, Vextra::kReportTypeError,
                  std::make_unique<ScriptedTransport>(HttpAnswer{true, 200, ""}, &posted), Services());
  EXPECT_EQ(SendReport(task), 200);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(PacketOf(posted[0]).request().cmd(), Vextra::kCmdReport);
  // A record without a data file could never be sent again.
  EXPECT_TRUE(Records().empty());
}

TEST_F(UploadTaskTest, SendWithoutEnvelopePostsNothing) {
  std::vector<std::string> posted;
  UploadTask task(Vextra::kCmdReport, Vextra::kReportTypeError,
                  std::make_unique<ScriptedTransport>(HttpAnswer{true, 200, ""}, &posted), Services());
  EXPECT_EQ(task.Send(), -1);
  EXPECT_TRUE(posted.empty());
  EXPECT_TRUE(Records().empty());
}

TEST_F(UploadTaskTest, EnvelopeIsOnlyBorrowed) {
  std::vector<std::string> posted;
  UploadTask task(Vextra::kCmdUserInfo, 0, std::make_unique<ScriptedTransport>(HttpAnswer{}, &posted), Services());
  ReportBuilder builder;
  builder.FillCommon(Vextra::EnvelopeFacts{});
  VextraPkg::RequestPkg* envelope = builder.BuildEnvelope();
  task.SetRequest(envelope);
  EXPECT_EQ(task.Send(), -1);
  // The builder still owns a whole envelope; a second send posts the same body.
  EXPECT_EQ(envelope->cmd(), Vextra::kCmdUserInfo);
  EXPECT_EQ(task.Send(), -1);
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(PacketOf(posted[0]).request().sessionid(), PacketOf(posted[1]).request().sessionid());
  EXPECT_EQ(PacketOf(posted[0]).request().cmd(), Vextra::kCmdUserInfo);
}

TEST_F(UploadTaskTest, FactoryMakesEachKindOfTask) {
  static const struct {
    const char* name;
    std::unique_ptr<UploadTask> (*make)();
    int32_t cmd;
    int32_t reportType;
  } kKinds[] = {
      {"crash", [] { return Vextra::UploadTaskFactory::Instance().CreateCrashTask(); }, 830, 101},
      {"error", [] { return Vextra::UploadTaskFactory::Instance().CreateErrorTask(); }, 830, 107},
      {"user info", [] { return Vextra::UploadTaskFactory::Instance().CreateUserInfoTask(); }, 840, 0},
      {"given", [] { return Vextra::UploadTaskFactory::Instance().CreateTask(830, 101); }, 830, 101},
  };
  std::set<std::string> expuids;
  for (const auto& k : kKinds) {
    SCOPED_TRACE(k.name);
    const std::unique_ptr<UploadTask> task = k.make();
    EXPECT_EQ(task->GetCmd(), k.cmd);
    EXPECT_EQ(task->GetReportType(), k.reportType);
    const HttpHeaders expected = {
        {"cmd", std::to_string(k.cmd)}, {"prodId", kAppId}, {"platformId", "10"}, {"appVer", kAppVersion}};
    EXPECT_EQ(task->GetHeaders(), expected);
    EXPECT_EQ(task->GetExpUid().size(), 32u);
    EXPECT_EQ(task->GetExpUid().find_first_not_of("0123456789ABCDEF"), std::string::npos);
    expuids.insert(task->GetExpUid());
    task->SetExpUid("GIVEN");
    EXPECT_EQ(task->GetExpUid(), "GIVEN");
  }
  EXPECT_EQ(expuids.size(), 4u);  // a fresh id per task
}

TEST_F(UploadTaskTest, ServerAddressWithSchemeIsNoHost) {
  CommonInfo::Instance().SetServerUrl("https://" + vextra_test::LoopbackAddress(18));
  auto task = Vextra::UploadTaskFactory::Instance().CreateTask(Vextra::kCmdReport, Vextra::kReportTypeError);
  const std::string body = "x";
  EXPECT_FALSE(task->SendRaw(body.data(), 1));
}

}  // namespace
