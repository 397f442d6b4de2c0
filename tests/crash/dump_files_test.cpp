// Dump upload's work on real files: the file digest, both compressions with
// their fallbacks and log lines, the directory scan over files with set
// write times, and the copy of the workspace the dump writer reads.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/dump/dump_files.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/dump_upload.h"
#include "crash/dump/minidump_writer.h"
#include "log/sdk_log.h"
#include "platform/text_encoding.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A gzip file read back with plain zlib, apart from the library's code.
std::string Gunzip(const fs::path& path) {
  gzFile in = gzopen(path.string().c_str(), "rb");
  if (in == nullptr) return "<cannot open>";
  std::string out;
  char piece[65536];
  int got = 0;
  while ((got = gzread(in, piece, sizeof piece)) > 0) out.append(piece, static_cast<size_t>(got));
  gzclose(in);
  return out;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::string SdkLogText() {
  std::ifstream in(Vextra::platform::WideToUtf8(Vextra::SdkLog::Instance().FilePath()), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

std::string Digest(const fs::path& path) {
  char out[33] = "unchanged";
  const bool ok = Vextra::FileDigest(path.wstring().c_str(), out);
  return ok ? std::string(out) : "false:" + std::string(out);
}

TEST(FileDigest, LowerCaseMd5OfTheFirstFiveMebibytes) {
  vextra_test::TempDir dir("vextra-dump-digest");
  WriteBytes(dir.path() / "abc", "abc");
  WriteBytes(dir.path() / "empty", "");
  EXPECT_EQ(Digest(dir.path() / "abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Digest(dir.path() / "empty"), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Digest(dir.path() / "missing"), "false:");

  // Bytes past 5 MiB do not count; the last byte within them does.
  const std::string big = RandomBytes(6 * 1048576, 7);
  WriteBytes(dir.path() / "big", big);
  WriteBytes(dir.path() / "head", big.substr(0, 5 * 1048576));
  WriteBytes(dir.path() / "shorter", big.substr(0, 5 * 1048576 - 1));
  EXPECT_EQ(Digest(dir.path() / "big"), Digest(dir.path() / "head"));
  EXPECT_NE(Digest(dir.path() / "head"), Digest(dir.path() / "shorter"));
}

class CompressionTest : public testing::Test {
 protected:
  void SetUp() override { Vextra::SetDebugMode(true); }
  void TearDown() override { Vextra::testing_hooks::ResetDumpSettingsForTesting(); }
  vextra_test::TempDir dir_{"vextra-dump-gz"};
};

TEST_F(CompressionTest, BesideTheSourceWithItsFallbacks) {
  static const struct {
    const char* name;
    size_t size;   // 0 with random false: the source does not exist
    bool random;   // incompressible bytes
    bool result;
    bool gzWritten;
    const char* logLine;
  } kCases[] = {
      {"small.dmp", 200000, false, true, true, nullptr},
      {"missing.dmp", 0, false, true, true, nullptr},
      {"noise.dmp", 1572864, true, false, true, "Compress file too big: "},
      {"just-below.dmp", 0x7FFFFF, false, true, true, nullptr},
      {"eight.dmp", 0x800000, false, false, false, "file too big "},
      {"nine.dmp", 9 * 1048576, false, false, false, "file too big "},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    const fs::path source = dir_.path() / row.name;
    std::string bytes;
    if (row.size > 0) {
      bytes = row.random ? RandomBytes(row.size, 11) : std::string(row.size, 'M');
      WriteBytes(source, bytes);
    }
    const std::string before = SdkLogText();
    EXPECT_EQ(Vextra::CompressBeside(source.wstring().c_str()), row.result);
    const std::string logged = SdkLogText().substr(before.size());
    const fs::path gz = source.string() + ".gz";
    EXPECT_EQ(fs::exists(gz), row.gzWritten);
    if (row.gzWritten) EXPECT_TRUE(Gunzip(gz) == bytes) << "the .gz holds the source";
    EXPECT_TRUE(fs::exists(source)) << "the source stays (a missing one is created empty)";
    if (row.logLine != nullptr) {
      EXPECT_NE(logged.find(row.logLine), std::string::npos) << logged;
      EXPECT_NE(logged.find(source.string()), std::string::npos) << logged;
    } else {
      EXPECT_EQ(logged.find("too big"), std::string::npos) << logged;
    }
    if (row.random) {
      const std::string line = "Compress file too big: " + std::to_string(fs::file_size(gz)) + " " + source.string();
      EXPECT_NE(logged.find(line), std::string::npos) << logged;
    }
  }
}

TEST_F(CompressionTest, IntoTheDumpDirectoryOfACustomWorkspaceOrTheDefault) {
  const fs::path source = dir_.path() / "HcDump.HcS.1765382400.dmp";
  const std::string bytes(300000, 'D');
  WriteBytes(source, bytes);

  // A custom workspace: "dump" inside the data directory, created when missing.
  const fs::path data = dir_.path() / "data";
  fs::create_directories(data);
  Vextra::CommonInfo::Instance().SetDataDir(data.wstring());
  Vextra::PublishDumpWorkspace(true, (dir_.path() / "lumaro").wstring());
  std::wstring out;
  ASSERT_TRUE(Vextra::CompressIntoDumpDir(source.wstring().c_str(), out));
  EXPECT_EQ(fs::path(out), data / "dump" / "HcDump.HcS.1765382400.dmp.gz");
  EXPECT_TRUE(Gunzip(out) == bytes);

  // The default: the dump directory beside the library; only its last level
  // is created, so without "pxr64" the compression fails.
  Vextra::testing_hooks::ResetDumpSettingsForTesting();
  const fs::path library = dir_.path() / "library";
  fs::create_directories(library);
  Vextra::PublishLibraryDirectory(library.wstring().c_str());
  EXPECT_FALSE(Vextra::CompressIntoDumpDir(source.wstring().c_str(), out));
  EXPECT_FALSE(fs::exists(library / "pxr64"));
  fs::create_directories(library / "pxr64");
  ASSERT_TRUE(Vextra::CompressIntoDumpDir(source.wstring().c_str(), out));
  EXPECT_EQ(fs::canonical(fs::path(out)), fs::canonical(library / "pxr64" / "dump" / "HcDump.HcS.1765382400.dmp.gz"));
  EXPECT_TRUE(Gunzip(out) == bytes);
}

TEST_F(CompressionTest, SeveralCompressionsAtOnceKeepTheirOwnBytes) {
  std::vector<fs::path> sources;
  std::vector<std::string> contents;
  for (int i = 0; i < 4; ++i) {
    sources.push_back(dir_.path() / ("t" + std::to_string(i) + ".dmp"));
    contents.push_back(std::string(2000000, static_cast<char>('a' + i)) + RandomBytes(1000, i));
    WriteBytes(sources.back(), contents.back());
  }
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 3; ++round) ok += Vextra::CompressBeside(sources[i].wstring().c_str()) ? 1 : 0;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ok.load(), 12);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Gunzip(sources[i].string() + ".gz") == contents[i]) << i;
}

TEST(ScanRecentDumps, NewestFiveOfTheFilesWrittenInTheLastFiveDays) {
  vextra_test::TempDir dir("vextra-dump-scan");
  const auto now = fs::file_time_type::clock::now();
  const std::vector<std::pair<std::string, int>> files = {
      {"d1.dmp", 60},     {"d2.dmp", 3600},   {"d3.dmp", 7200},         {"d4.dmp", 86400},
      {"d5.dmp", 172800}, {"d6.dmp", 259200}, {"d7.dmp", 345600},       {"old.dmp", 6 * 86400},
      {"note.txt", 10},   {"d8.dmp.gz", 10},
  };
  for (const auto& [name, age] : files) {
    WriteBytes(dir.path() / name, name);
    fs::last_write_time(dir.path() / name, now - std::chrono::seconds(age));
  }
  fs::create_directory(dir.path() / "folder.dmp");
  std::vector<std::string> expected;
  for (const char* name : {"d1.dmp", "d2.dmp", "d3.dmp", "d4.dmp", "d5.dmp"}) {
    expected.push_back(dir.str() + Vextra::dumpfs::kNarrowSep + name);
  }
  EXPECT_EQ(Vextra::ScanRecentDumps(dir.str()), expected);
  EXPECT_TRUE(Vextra::ScanRecentDumps((dir.path() / "absent").string()).empty());
}

TEST(DefaultDumpDir, DumpInsidePxr64BesideTheLibraryWithOnlyTheLastLevelCreated) {
  vextra_test::TempDir dir("vextra-dump-default");
  Vextra::PublishLibraryDirectory(dir.wpath().c_str());
  wchar_t out[Vextra::kDumpPathChars];
  EXPECT_TRUE(Vextra::GetDefaultDumpDir(out));
  const std::wstring sep(1, Vextra::dumpfs::kSep);
  EXPECT_EQ(std::wstring(out), dir.wpath() + sep + sep + L"pxr64" + sep + sep + L"dump");
  EXPECT_FALSE(fs::exists(dir.path() / "pxr64")) << "only the last level is created";
  fs::create_directory(dir.path() / "pxr64");
  EXPECT_TRUE(Vextra::GetDefaultDumpDir(out));
  EXPECT_TRUE(fs::is_directory(dir.path() / "pxr64" / "dump"));

  // A library directory too long for the buffer: an empty text, nothing created.
  const fs::path deep = dir.path() / std::string(240, 'd');
  Vextra::PublishLibraryDirectory(deep.wstring().c_str());
  EXPECT_TRUE(Vextra::GetDefaultDumpDir(out));
  EXPECT_EQ(out[0], L'\0');
  Vextra::testing_hooks::ResetDumpSettingsForTesting();
}

TEST(DumpSettings, TheWriterReadsWhatTheSettersPublished) {
  wchar_t workspace[Vextra::kDumpPathChars];
  Vextra::testing_hooks::ResetDumpSettingsForTesting();
  EXPECT_FALSE(Vextra::ReadDumpWorkspace(workspace));
  EXPECT_EQ(Vextra::ReadDumpType(), 0);

  Vextra::PublishDumpWorkspace(true, L"/games/save/lumaro");
  Vextra::PublishDumpType(0x3FFFFF);
  EXPECT_TRUE(Vextra::ReadDumpWorkspace(workspace));
  EXPECT_EQ(std::wstring(workspace), L"/games/save/lumaro");
  EXPECT_EQ(Vextra::ReadDumpType(), 0x3FFFFF);

  // Readers racing a writer always see one whole published text.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) Vextra::PublishDumpWorkspace(true, std::wstring(i % 2 ? 200 : 20, i % 2 ? L'a' : L'b'));
  });
  for (int i = 0; i < 20000; ++i) {
    Vextra::ReadDumpWorkspace(workspace);
    const std::wstring seen = workspace;
    const bool whole = seen == L"/games/save/lumaro" || seen == std::wstring(200, L'a') || seen == std::wstring(20, L'b');
    ASSERT_TRUE(whole) << seen.size();
  }
  stop = true;
  writer.join();
  Vextra::testing_hooks::ResetDumpSettingsForTesting();
}

}  // namespace
