// The collector's web view in headless Chromium: the real vextra-collector
// started with --web on a loopback address of this test program's own,
// reports posted to it as the library sends them (a crash with a minidump
// written by the library's writer, the same crash from a build loaded
// elsewhere, an error report with its log attachments and user values, a
// crash whose dump is garbage, and a dump of this process taken by the
// library's Linux crash snapshot), then each page loaded with
// `chromium --headless --dump-dom`, checked for what it must show and saved as
// a screenshot under the test's output directory.

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "VextraPkg.pb.h"
#include "collector/tests/child_process.h"
#include "collector/tests/request_bodies.h"
#include "collector/tests/sample_dumps.h"
#include "collector/zlib_codec.h"
#include "httplib.h"
#include "minidump/linux_process_snapshot.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"

namespace collector_test {
namespace {

constexpr int kUploadPort = 18443;
constexpr int kWebPort = 18480;
constexpr char kChromium[] = "/usr/bin/chromium";

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A dump of this very process taken by the library's Linux crash snapshot and
// writer, as if this thread had faulted reading address 0x10.
std::string DumpOfThisProcess(uint32_t* threadId) {
  auto snapshot = std::make_unique<Vextra::minidump::LinuxProcessSnapshot>();
  snapshot->PrepareSystemFacts();
  ucontext_t context;
  getcontext(&context);
  *threadId = static_cast<uint32_t>(syscall(SYS_gettid));
  snapshot->Capture({SIGSEGV, SEGV_MAPERR, 0x10, *threadId, &context});
  vextra_test::BufferOutput out;
  const uint64_t size = Vextra::minidump::WriteMinidump(*snapshot, out);
  snapshot->Release();
  return size == 0 ? std::string() : out.File();
}

// An error report (830, type 107) with the native log, the user values and a
// log file, as the library attaches them.
// Each report has an expuid of its own: a repeated one is not stored again.
VextraPkg::UniPacket ErrorPacket(const std::string& expuid = "error-guid-1") {
  VextraPkg::ExceptionUploadPackage package;
  VextraPkg::ExceptionUpload* upload = package.add_list();
  upload->set_type("107");
  upload->set_crashtime(1700003600);
  upload->set_expname("LuaError");
  upload->set_expmessage("attempt to index a nil value");
  upload->set_callstack("main.lua:10 in function 'update'\nmain.lua:20 in main chunk");
  upload->set_expuid(expuid);
  upload->set_userid("player-42");
  (*upload->mutable_valuemap())["A1"] = "16384";
  (*upload->mutable_valuemap())["A34"] = "game.exe";
  (*upload->mutable_usermap())["level"] = "it's 3";
  auto attach = [&](const char* name, const std::string& text) {
    VextraPkg::Attachment* attachment = upload->add_attaches();
    attachment->set_type(2);
    attachment->set_filename(name);
    attachment->set_data(ZlibCompress(text));
  };
  attach("vextraLog.zip", "ring line one\nring line two\n");
  attach("valueOtherMap.zip", "{\"checkpoint\":\"boss-fight\"}");
  attach("logFile.zip", "game log tail: loading level 3\n");
  return MakePacket(830, package.SerializeAsString());
}

class WebPagesTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new vextra_test::TempDir("vextra-web-pages");
    std::filesystem::create_directories(OutputDir());
    address_ = vextra_test::LoopbackAddress(1);
    const std::filesystem::path ready = dir_->path() / "ready";
    collector_ = new ChildProcess(VEXTRA_COLLECTOR_PATH,
                                  {"--listen", address_, "--port", std::to_string(kUploadPort), "--db",
                                   (dir_->path() / "collector.db").string(), "--ready-file", ready.string(), "--web",
                                   address_ + ":" + std::to_string(kWebPort)},
                                  (dir_->path() / "out.txt").string(), (dir_->path() / "err.txt").string());
    ASSERT_TRUE(WaitForFile(ready, *collector_)) << ReadFile(dir_->path() / "err.txt");

    // Report ids follow the order of the posts: each is stored before its answer.
    CrashReportFields crash;
    crash.minidump = collector::Gzip(WriteSampleDump(SampleCrash{}));
    crash.version = "1.0";
    crash.userId = "player-1";
    crash.deviceId = "device-A";
    crash.logText = "ring: entering boss fight\n";
    crash.userValues = "{\"weapon\":\"rocket\"}";
    crash.logFileTail = "game log: boss spawned\n";
    ASSERT_TRUE(PostReport(MakeCrashPacket(crash)));  // report 1
    ASSERT_TRUE(PostReport(ErrorPacket()));           // report 2
    CrashReportFields garbage;
    garbage.minidump = "MDMP but nothing else that holds together";
    ASSERT_TRUE(PostReport(MakeCrashPacket(garbage)));  // report 3
    SampleCrash moved;
    moved.gameBase = 0x7FF600000000;
    moved.dllBase = 0x7FFB00000000;
    crash.minidump = collector::Gzip(WriteSampleDump(moved));
    crash.version = "1.1";
    crash.userId = "player-2";
    crash.deviceId = "device-B";
    crash.crashTime += 86400;
    ASSERT_TRUE(PostReport(MakeCrashPacket(crash)));  // report 4
    CrashReportFields processCrash;
    const std::string dump = DumpOfThisProcess(&dumpThread_);
    ASSERT_FALSE(dump.empty());
    processCrash.minidump = collector::Gzip(dump);
    ASSERT_TRUE(PostReport(MakeCrashPacket(processCrash)));  // report 5
    for (int id = 1; id <= 5; ++id) ASSERT_TRUE(WaitForAnalysis(id)) << "report " << id;
  }
  static void TearDownTestSuite() {
    if (collector_ != nullptr) EXPECT_EQ(collector_->Stop(SIGTERM), 0);
    delete collector_;
    collector_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }

  static std::filesystem::path OutputDir() { return VEXTRA_WEB_PAGES_OUTPUT; }
  static std::string WebUrl(const std::string& path) {
    return "http://" + address_ + ":" + std::to_string(kWebPort) + path;
  }

  static bool PostReport(const VextraPkg::UniPacket& packet) {
    httplib::SSLClient client(address_, kUploadPort);
    client.enable_server_certificate_verification(false);
    client.set_read_timeout(10, 0);
    const auto result = client.Post("/pb/async", GzipPacket(packet), "application/octet-stream");
    return result && result->status == 200;
  }

  static std::string ApiGet(const std::string& path) {
    httplib::Client client(address_, kWebPort);
    client.set_read_timeout(10, 0);
    const auto result = client.Get(path.c_str());
    return result && result->status == 200 ? result->body : std::string();
  }

  // Waits until the report's analysis is no longer pending: the pages read it.
  static bool WaitForAnalysis(int id) {
    for (int i = 0; i < 600; ++i) {
      const std::string body = ApiGet("/api/reports/" + std::to_string(id));
      if (body.find("\"state\":\"done\"") != std::string::npos || body.find("\"state\":\"failed\"") != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The page's DOM after its scripts ran, and its screenshot as <name>.png.
  static std::string LoadPage(const std::string& path, const std::string& name) {
    const std::string profile = (dir_->path() / ("profile-" + name)).string();
    const std::vector<std::string> common = {"--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile};
    std::vector<std::string> dump = common;
    dump.push_back("--dump-dom");
    dump.push_back(WebUrl(path));
    const std::filesystem::path domFile = OutputDir() / (name + ".html");
    ChildProcess dumper(kChromium, dump, domFile.string(), (dir_->path() / ("chromium-" + name + ".txt")).string());
    EXPECT_EQ(dumper.Stop(0, std::chrono::seconds(60)), 0) << "chromium --dump-dom " << path;
    std::vector<std::string> shot = common;
    const std::filesystem::path png = OutputDir() / (name + ".png");
    std::filesystem::remove(png);
    shot.insert(shot.end(), {"--screenshot=" + png.string(), "--window-size=1280,2000", WebUrl(path)});
    ChildProcess shooter(kChromium, shot, (dir_->path() / "shot-out.txt").string(),
                         (dir_->path() / ("shot-" + name + ".txt")).string());
    EXPECT_EQ(shooter.Stop(0, std::chrono::seconds(60)), 0) << "chromium --screenshot " << path;
    EXPECT_GT(std::filesystem::exists(png) ? std::filesystem::file_size(png) : 0u, 1000u) << png;
    return ReadFile(domFile);
  }

  static int64_t CrashGroupId() {
    const std::string groups = ApiGet("/api/groups");
    const size_t signature = groups.find("\"signature\":\"crash | game.exe+0x1234\"");
    const size_t id = groups.rfind("{\"id\":", signature);
    if (signature == std::string::npos || id == std::string::npos) return -1;
    return std::stoll(groups.substr(id + 6));
  }

  static void ExpectShows(const std::string& dom, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) EXPECT_NE(dom.find(text), std::string::npos) << "page lacks: " << text;
  }

  static inline vextra_test::TempDir* dir_ = nullptr;
  static inline ChildProcess* collector_ = nullptr;
  static inline std::string address_;
  static inline uint32_t dumpThread_ = 0;
};

TEST_F(WebPagesTest, GroupsPageListsBothGroupsByCountWithTheirFigures) {
  const std::string dom = LoadPage("/", "groups");
  // The crash group first: two reports from two builds, users and devices.
  const std::regex crashRow(
      "<tr class=\"group\" data-id=\"[0-9]+\"><td><a href=\"/groups/[0-9]+\">game\\.exe\\+0x1234</a><br><small "
      "class=\"signature\">crash \\| game\\.exe\\+0x1234</small></td><td class=\"kind\">crash</td><td "
      "class=\"count\">2</td><td>2023-11-14 22:13:21</td><td>2023-11-15 22:13:21</td><td class=\"versions\">1\\.0 "
      "\\(1\\), 1\\.1 \\(1\\)</td><td class=\"users\">2</td><td class=\"devices\">2</td><td><svg class=\"chart\"");
  EXPECT_TRUE(std::regex_search(dom, crashRow)) << dom;
  const size_t crash = dom.find("game.exe+0x1234</a>");
  const size_t error = dom.find("LuaError at main.lua:10 in function 'update'</a>");
  const size_t garbage = dom.find("unreadable minidump</a>");
  ASSERT_NE(crash, std::string::npos);
  ASSERT_NE(error, std::string::npos);
  ASSERT_NE(garbage, std::string::npos);
  EXPECT_LT(crash, error) << "sorted by count";
  EXPECT_LT(crash, garbage);
  // The chart of the crash group: a bar for each of its two days.
  const std::string row = dom.substr(crash, dom.find("</tr>", crash) - crash);
  EXPECT_NE(row.find("<title>1</title></rect>"), std::string::npos) << row;
  ExpectShows(dom, {"<td class=\"kind\">error</td>", "name=\"q\"", "name=\"version\"", "name=\"app\"", "name=\"user\""});

  // Filtered to errors, the crash group is gone.
  const std::string errors = LoadPage("/?type=error", "groups-errors");
  EXPECT_EQ(errors.find("game.exe+0x1234</a>"), std::string::npos);
  EXPECT_NE(errors.find("LuaError at main.lua:10"), std::string::npos);
}

TEST_F(WebPagesTest, GroupPageListsItsReports) {
  const int64_t group = CrashGroupId();
  ASSERT_GT(group, 0);
  const std::string dom = LoadPage("/groups/" + std::to_string(group), "group");
  ExpectShows(dom, {"<h1>game.exe+0x1234</h1>", "<p id=\"total\">2 reports</p>", "<a href=\"/reports/1\">1</a>",
                    "<a href=\"/reports/4\">4</a>", "<td>player-1</td>", "<td>player-2</td>", "<td>device-A</td>",
                    "<td>device-B</td>", "<td>1.0</td>", "<td>1.1</td>", "<td>crash</td>"});
  EXPECT_EQ(dom.find("/reports/2\""), std::string::npos) << "the error report is in another group";
  const std::string filtered = LoadPage("/groups/" + std::to_string(group) + "?version=1.1", "group-filtered");
  ExpectShows(filtered, {"<p id=\"total\">1 reports</p>", "<a href=\"/reports/4\">4</a>"});
  EXPECT_EQ(filtered.find("<a href=\"/reports/1\">"), std::string::npos);
}

TEST_F(WebPagesTest, ErrorReportPageShowsEveryFieldAndTheAttachmentsAsText) {
  const std::string dom = LoadPage("/reports/2", "error-report");
  ExpectShows(dom, {"analysis: done (error)", "<th>expName</th><td>LuaError</td>",
                    "<th>expMessage</th><td>attempt to index a nil value</td>",
                    "main.lua:10 in function 'update'\nmain.lua:20 in main chunk", "<th>userid</th><td>player-42</td>",
                    "<th>expuid</th><td>error-guid-1</td>", "<th>type</th><td>107</td>",
                    // userMap and valueMap
                    "<table id=\"userMap\"><tbody><tr><th>level</th><td>it's 3</td>", "<th>A1</th><td>16384</td>",
                    "<th>A34</th><td>game.exe</td>",
                    // the log ring, the user values and the log file, inflated
                    "ring line one\nring line two", "{\"checkpoint\":\"boss-fight\"}", "game log tail: loading level 3",
                    // the request envelope
                    "<th>bundleId</th><td>bundleId</td>", "<th>prodId</th><td>app-1</td>",
                    "<th>version</th><td>1.2.3</td>", "<th>osVer</th><td>Microsoft Windows 10(19045)</td>",
                    "<th>deviceId</th><td>device-7</td>", "<th>sdkVer</th><td>2.2.2.944</td>"});
}

TEST_F(WebPagesTest, CrashReportPageShowsTheExceptionStacksModulesAndLogs) {
  const std::string dom = LoadPage("/reports/1", "crash-report");
  ExpectShows(dom, {"analysis: done (crash)", "EXCEPTION_ACCESS_VIOLATION (0xc0000005) at 0x140001234, thread 7",
                    "<h2>Crashing thread 7</h2>", "<li class=\"frame\">game.exe+0x1234 <small>[context]</small></li>",
                    "<summary>thread 7 (crashed)</summary>", "<summary>thread 8</summary>",
                    "<li class=\"frame\">game.exe+0x2000", "<td>C:\\Games\\Demo\\game.exe</td><td>0x140000000</td>",
                    "<td>C:\\Games\\Demo\\Vextra64.dll</td><td>0x7ff8a0000000</td>", "<td>" + GameDebugId() + "</td>",
                    "<td>game.pdb</td>", "ring: entering boss fight", "{\"weapon\":\"rocket\"}", "game log: boss spawned",
                    "<th>expName</th><td>crash</td>", "<th>version</th><td>1.0</td>", "<h3>minidump.zip"});
  // Symbolised frames: once the stack walker and the symboliser are plugged
  // in, a crash of the sample host posted here is checked for its crashing
  // function with file:line and for a Vextra64.dll frame by name.
}

TEST_F(WebPagesTest, ARealLinuxProcessDumpShowsItsThreadsAndModules) {
  const std::string dom = LoadPage("/reports/5", "linux-crash-report");
  ExpectShows(dom, {"analysis: done (crash)", "SIGSEGV (0xb) at 0x10, thread " + std::to_string(dumpThread_),
                    "<h2>Crashing thread " + std::to_string(dumpThread_) + "</h2>",
                    "<li class=\"frame\">vextra_web_page_tests+0x", "/vextra_web_page_tests</td>",
                    "<summary>thread " + std::to_string(dumpThread_) + " (crashed)</summary>"});
}

TEST_F(WebPagesTest, AnUnreadableDumpShowsItsErrorAndTheCollectorGoesOn) {
  const std::string dom = LoadPage("/reports/3", "unreadable-report");
  ExpectShows(dom, {"analysis: failed (crash)", "<ul id=\"analysis-errors\"><li class=\"err\">"});
  // Still storing and analysing after it.
  ASSERT_TRUE(PostReport(ErrorPacket("error-guid-2")));
  EXPECT_TRUE(WaitForAnalysis(6));
}

}  // namespace
}  // namespace collector_test
