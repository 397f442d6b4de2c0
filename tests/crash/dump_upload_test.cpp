// Dump upload end to end against the real collector over TLS: a directory
// scan that sends the newest five recent dumps once and records them in
// record.dat, a marker-only scan, a dump too big to compress, a dump whose
// gzip output is too big, an unreadable dump, one named dump, and the
// asynchronous export. What the collector stored is read back and the
// attachments are gunzipped here with plain zlib.
//
// Loopback hosts of this test program used here: 60 to 66.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/dump/dump_files.h"
#include "crash/dump/dump_rules.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/dump_upload.h"
#include "db/raw_db.h"
#include "log/native_log_ring.h"
#include "log/sdk_log.h"
#include "platform/text_encoding.h"
#include "report/file_manager.h"
#include "support/loopback_address.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "vextra.h"
#include "support/inflate_whole.h"

namespace {

namespace fs = std::filesystem;
using Vextra::CommonInfo;

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A dump-like file: compressible, different per seed.
std::string DumpBytes(int seed, size_t size = 200000) {
  std::string bytes = "MDMP" + std::to_string(seed) + "|";
  while (bytes.size() < size) bytes += "stream " + std::to_string(seed * 7919 + bytes.size() % 977) + ";";
  bytes.resize(size);
  return bytes;
}

// One gzip member inflated whole; "<not gzip>" otherwise.
std::string Gunzip(const std::string& bytes) {
  bool ok = false;
  std::string out = vextra_test::Gunzip(bytes, &ok);
  return ok ? out : "<not gzip>";
}

std::string SdkLogText() {
  std::ifstream in(Vextra::platform::WideToUtf8(Vextra::SdkLog::Instance().FilePath()), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

std::string NativeLogText() {
  std::vector<char> buffer(1048576, '\0');
  Vextra::ReadNativeLog(buffer.data(), static_cast<uint32_t>(buffer.size() - 1));
  return buffer.data();
}

// The process's workspace for the records database and data files, once.
const vextra_test::TempDir& ProcessWorkspace() {
  static auto* dir = [] {
    auto* made = new vextra_test::TempDir("vextra-dump-upload-ws");
    CommonInfo::Instance().SetWorkspace(made->wpath(), true);
    Vextra::FileManager::Instance();
    return made;
  }();
  return *dir;
}

class DumpUploadTest : public testing::Test {
 protected:
  void SetUp() override {
    ProcessWorkspace();
    Vextra::SetDebugMode(true);
    Vextra::testing_hooks::SetInitWaitRoundsForTesting(0);
    Vextra::testing_hooks::ResetDumpSettingsForTesting();
    // The library's directory for this case, with its "pxr64" level, so the
    // default dump directory (record.dat, compressed copies) is the case's own.
    fs::create_directories(dir_.path() / "lib" / "pxr64");
    Vextra::PublishLibraryDirectory((dir_.path() / "lib").wstring().c_str());
    fs::create_directories(Dumps());
    CommonInfo::Instance().SetCrashUploadEnable(true);
  }
  void TearDown() override {
    Vextra::testing_hooks::ResetDumpSettingsForTesting();
    Vextra::testing_hooks::SetInitWaitRoundsForTesting(Vextra::kInitWaitRounds);
  }

  bool StartCollector(int host) {
    std::string why;
    if (vextra_test::CollectorProgram(&why).empty()) {
      EXPECT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
      skip_ = why;
      return false;
    }
    const std::string address = vextra_test::LoopbackAddress(host);
    const fs::path work = dir_.path() / ("collector-" + std::to_string(host));
    fs::create_directories(work);
    collector_ = std::make_unique<vextra_test::CollectorProcess>(address, work, std::vector<std::string>{});
    EXPECT_TRUE(collector_->Started()) << collector_->Error();
    CommonInfo::Instance().SetServerUrl(address);
    return collector_->Started();
  }

  fs::path Dumps() const { return dir_.path() / "dumps"; }
  fs::path DumpDir() const { return dir_.path() / "lib" / "pxr64" / "dump"; }
  fs::path RecordFile() const { return DumpDir() / "record.dat"; }

  // The collector's reports: expuid to the bytes of its "minidump.zip".
  std::map<std::string, std::string> Reports() {
    vextra_test::RawDb seen(collector_->DbPath());
    const auto cells = seen.Cells(
        "SELECT r.expuid, r.type, r.expName, r.ehType, a.data FROM reports r JOIN attachments a "
        "ON a.report_id = r.id AND a.fileName = 'minidump.zip' ORDER BY r.id");
    std::map<std::string, std::string> reports;
    for (size_t i = 0; i + 4 < cells.size(); i += 5) {
      EXPECT_EQ(cells[i + 1] + "|" + cells[i + 2] + "|" + cells[i + 3], "101|crash|0") << cells[i];
      EXPECT_EQ(reports.count(cells[i]), 0u) << "sent twice: " << cells[i];
      reports[cells[i]] = cells[i + 4];
    }
    return reports;
  }

  vextra_test::TempDir dir_{"vextra-dump-upload"};
  std::unique_ptr<vextra_test::CollectorProcess> collector_;
  std::string skip_;
};

#define COLLECTOR_OR_SKIP(host)           \
  do {                                    \
    if (!StartCollector(host)) {          \
      if (!skip_.empty()) GTEST_SKIP() << skip_; \
      return;                             \
    }                                     \
  } while (0)

void SetAge(const fs::path& path, int seconds) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(seconds));
}

TEST_F(DumpUploadTest, ADirectoryScanSendsTheFiveNewestRecentDumpsOnce) {
  COLLECTOR_OR_SKIP(60);
  // Seven dumps of the last days and one of six days ago.
  std::map<std::string, std::string> contents;
  const int ages[] = {7200, 60, 3 * 86400, 600, 86400, 4 * 86400, 30, 6 * 86400};
  for (int i = 0; i < 8; ++i) {
    const std::string name = "HcDump.HcS." + std::to_string(1765300000 + i) + ".dmp";
    contents[name] = DumpBytes(i);
    WriteBytes(Dumps() / name, contents[name]);
    SetAge(Dumps() / name, ages[i]);
  }
  // The five newest by age: 30, 60, 600, 7200, 86400 seconds.
  const std::set<std::string> newest = {"HcDump.HcS.1765300006.dmp", "HcDump.HcS.1765300001.dmp",
                                        "HcDump.HcS.1765300003.dmp", "HcDump.HcS.1765300000.dmp",
                                        "HcDump.HcS.1765300004.dmp"};

  const std::string logBefore = SdkLogText();
  EXPECT_EQ(Vextra::UploadDumpsInDir(Dumps().string(), false), 1);
  const std::string logged = SdkLogText().substr(logBefore.size());
  EXPECT_NE(logged.find("Failed to open record.dat."), std::string::npos) << "no record.dat yet";

  // record.dat: one line per sent dump, its digest, the time and its GUID.
  const std::string records = ReadBytes(RecordFile());
  Vextra::DumpRecordMap read;
  int skipped = 0;
  Vextra::ParseRecordText(records, read, &skipped);
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 5);
  EXPECT_EQ(std::count(records.begin(), records.end(), '\r'), 5);
  std::map<std::string, std::string> guidOfName;
  for (const std::string& name : newest) {
    char digest[33];
    ASSERT_TRUE(Vextra::FileDigest((Dumps() / name).wstring().c_str(), digest));
    ASSERT_EQ(read.count(digest), 1u) << name;
    guidOfName[name] = read[digest].guid;
    EXPECT_EQ(read[digest].guid.size(), 32u);
    EXPECT_LE(std::abs(Vextra::dumpfs::Now() - read[digest].time), 60);
    EXPECT_NE(logged.find("Generated guid is " + read[digest].guid + "\n"), std::string::npos);
    // Its compressed copy went to the dump directory.
    EXPECT_TRUE(fs::exists(DumpDir() / (name + ".gz"))) << name;
  }

  ASSERT_TRUE(collector_->Stop()) << collector_->Error();
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 5u);
  for (const auto& [name, guid] : guidOfName) {
    ASSERT_EQ(reports.count(guid), 1u) << name;
    EXPECT_TRUE(Gunzip(reports[guid]) == contents[name]) << name << " travels gzipped, whole";
  }
  const std::string ring = NativeLogText();
  for (const auto& [name, guid] : guidOfName) {
    const size_t at = ring.find("V Vextra Upload minidump in given dir.");
    EXPECT_NE(at, std::string::npos);
    EXPECT_NE(ring.find("V Vextra " + guid), std::string::npos) << name;
  }

  // A second scan finds every dump recorded: nothing is sent, the same records stay.
  ASSERT_TRUE(StartCollector(61));
  EXPECT_EQ(Vextra::UploadDumpsInDir(Dumps().string(), false), 1);
  EXPECT_EQ(ReadBytes(RecordFile()), records);
  ASSERT_TRUE(collector_->Stop()) << collector_->Error();
  EXPECT_TRUE(Reports().empty());
}

TEST_F(DumpUploadTest, AMarkerOnlyScanSendsMarkedDumpsAndRecordsTheOthersAsNotToUpload) {
  COLLECTOR_OR_SKIP(62);
  const std::string marker("\x23\xA0\xBE\x93\x46\xFF\x62\x44\xB5\xCA\x54\x10\x85\xFA\xF9\x3B", 16);
  const std::string marked = DumpBytes(1, 100000) + marker + DumpBytes(2, 1000);
  const std::string plain = DumpBytes(3, 100000);
  // Only the first 5 MiB (5,242,880 bytes) are searched: a marker ending
  // exactly there is found; one that starts 8 bytes before the end of them
  // and runs past it is not.
  constexpr size_t kSearched = 5242880;
  const std::string edge = DumpBytes(4, kSearched - 16) + marker + DumpBytes(5, 4096);
  const std::string late = DumpBytes(6, kSearched - 8) + marker + DumpBytes(7, 4096);
  WriteBytes(Dumps() / "marked.dmp", marked);
  WriteBytes(Dumps() / "plain.dmp", plain);
  WriteBytes(Dumps() / "edge.dmp", edge);
  WriteBytes(Dumps() / "late.dmp", late);
  // An old record is dropped at the rewrite; a line of two fields is skipped.
  fs::create_directories(DumpDir());
  WriteBytes(RecordFile(), "0123\t" + std::to_string(Vextra::dumpfs::Now() - 864000) + "\tOLD\r\nbad\t1\r\n");

  const std::string logBefore = SdkLogText();
  EXPECT_EQ(Vextra::UploadDumpsInDir(Dumps().string(), true), 1);
  EXPECT_NE(SdkLogText().substr(logBefore.size()).find("Read a wrong file info, and skip it."), std::string::npos);

  Vextra::DumpRecordMap read;
  Vextra::ParseRecordText(ReadBytes(RecordFile()), read, nullptr);
  ASSERT_EQ(read.size(), 4u);
  const auto digest_of = [this](const char* name) {
    char digest[33];
    EXPECT_TRUE(Vextra::FileDigest((Dumps() / name).wstring().c_str(), digest)) << name;
    return std::string(digest);
  };
  const std::string not_upload = "--------------------------not upload--------------------------";
  EXPECT_EQ(read[digest_of("plain.dmp")].guid, not_upload);
  EXPECT_EQ(read[digest_of("late.dmp")].guid, not_upload) << "a marker past the first 5 MiB is not seen";
  const std::string guid = read[digest_of("marked.dmp")].guid;
  const std::string edge_guid = read[digest_of("edge.dmp")].guid;
  EXPECT_EQ(guid.size(), 32u);
  EXPECT_EQ(edge_guid.size(), 32u) << "a marker ending at 5 MiB is found";

  ASSERT_TRUE(collector_->Stop()) << collector_->Error();
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(Gunzip(reports[guid]) == marked);
  EXPECT_EQ(reports.count(edge_guid), 1u);
  EXPECT_FALSE(fs::exists(DumpDir() / "plain.dmp.gz")) << "nothing of the unmarked dump is compressed";
  EXPECT_FALSE(fs::exists(DumpDir() / "late.dmp.gz"));
}

TEST_F(DumpUploadTest, RawFallbacksAndTheLimitOfTheUploadBuffer) {
  COLLECTOR_OR_SKIP(63);
  // Too big to compress: sent raw, cut to the 5 MiB of the upload buffer.
  const std::string nine = RandomBytes(9 * 1048576, 3);
  WriteBytes(Dumps() / "nine.dmp", nine);
  // Compressed output over 1 MiB: sent raw, the .gz stays on disk.
  const std::string noise = RandomBytes(1572864, 4);
  WriteBytes(Dumps() / "noise.dmp", noise);
  const std::wstring missingDir = (Dumps() / "absent" / "x.dmp").wstring();

  const std::string logBefore = SdkLogText();
  EXPECT_EQ(Vextra::uploadCrash((Dumps() / "nine.dmp").wstring().c_str(), "99999999999999999999999999999999", 0,
                                false),
            200);
  EXPECT_EQ(Vextra::uploadCrash((Dumps() / "noise.dmp").wstring().c_str(), "11111111111111111111111111111111", 0,
                                false),
            200);
  // A dump that cannot be read: nothing is sent.
  EXPECT_EQ(Vextra::uploadCrash(missingDir.c_str(), "22222222222222222222222222222222", 0, false), -2);
  EXPECT_EQ(Vextra::uploadCrash(L"", "33333333333333333333333333333333", 0, true), -2);
  const std::string logged = SdkLogText().substr(logBefore.size());
  EXPECT_NE(logged.find("file too big " + (Dumps() / "nine.dmp").string() + "\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("Compress file too big: " + std::to_string(fs::file_size(Dumps() / "noise.dmp.gz")) + " " +
                        (Dumps() / "noise.dmp").string() + "\n"),
            std::string::npos)
      << logged;
  const std::string fallback = "Failed to compress dump file, try to upload it directly.\n";
  size_t fallbacks = 0;
  for (size_t at = logged.find(fallback); at != std::string::npos; at = logged.find(fallback, at + 1)) ++fallbacks;
  EXPECT_EQ(fallbacks, 3u);
  EXPECT_FALSE(fs::exists(Dumps() / "nine.dmp.gz"));

  ASSERT_TRUE(collector_->Stop()) << collector_->Error();
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports["99999999999999999999999999999999"] == nine.substr(0, 5 * 1048576));
  EXPECT_TRUE(reports["11111111111111111111111111111111"] == noise);
}

TEST_F(DumpUploadTest, ANamedDumpAndTheAsynchronousExportsSendUnderNewGuids) {
  COLLECTOR_OR_SKIP(64);
  const std::string one = DumpBytes(10);
  WriteBytes(Dumps() / "one.dmp", one);
  EXPECT_EQ(Vextra::ReportDumpFile(nullptr), -1);
  EXPECT_EQ(VX_ReportDump(nullptr, false), -1);
  EXPECT_EQ(VX_ReportDump((Dumps() / "one.dmp").string().c_str(), false), 1);
  EXPECT_NE(NativeLogText().find("V Vextra Report dump file."), std::string::npos);
  EXPECT_FALSE(fs::exists(RecordFile())) << "a named dump makes no record";

  // The exports return at once; their threads work on copies of the text.
  const std::string two = DumpBytes(11);
  WriteBytes(Dumps() / "two.dmp", two);
  const std::string three = DumpBytes(12);
  fs::create_directories(Dumps() / "scan");
  WriteBytes(Dumps() / "scan" / "three.dmp", three);
  {
    std::string path = (Dumps() / "two.dmp").string();
    EXPECT_EQ(VX_ReportDump(path.c_str(), true), 0);
    std::fill(path.begin(), path.end(), 'x');
    std::string dir = (Dumps() / "scan").string();
    EXPECT_EQ(VX_UploadGivenPathDump(dir.c_str(), false), 0);
    std::fill(dir.begin(), dir.end(), 'x');
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(RecordFile()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(fs::exists(RecordFile()));
  // The named dump's thread has no file to show its end: wait for its report.
  size_t seen = 0;
  while (seen < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    vextra_test::RawDb db(collector_->DbPath());
    const std::string count = db.Cell("SELECT count(*) FROM reports");
    seen = count.empty() ? 0 : std::stoul(count);
  }
  ASSERT_TRUE(collector_->Stop()) << collector_->Error();
  std::multiset<std::string> sent;
  for (const auto& [guid, bytes] : Reports()) sent.insert(Gunzip(bytes));
  EXPECT_EQ(sent, (std::multiset<std::string>{one, two, three}));
}

}  // namespace
