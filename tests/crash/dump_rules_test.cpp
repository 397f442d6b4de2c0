// The plain rules of dump writing and dump upload: dump directories and names
// in their fixed buffers, the small-dump threshold, record.dat lines, the
// choice of recent dumps, the dump marker and the compression limits.

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "crash/dump/dump_rules.h"

namespace {

using Vextra::kDumpPathChars;

// Stored in record.dat in place of a GUID for a dump a scan chose not to send.
const std::string kNotUpload = "--------------------------not upload--------------------------";

// A path buffer with a fenced tail, to see that nothing is written past it.
struct FencedPath {
  wchar_t path[kDumpPathChars];
  wchar_t fence[8];
  FencedPath() {
    for (wchar_t& c : path) c = L'#';
    for (wchar_t& c : fence) c = L'!';
  }
  bool FenceIntact() const {
    for (wchar_t c : fence) {
      if (c != L'!') return false;
    }
    return true;
  }
};

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text != L'\0'; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(DumpPaths, DirectoriesAndNamesKeepTheirPiecesUnchanged) {
  const std::wstring library = L"C:\\Games\\Bin";
  FencedPath dir;
  ASSERT_TRUE(Vextra::FormatDefaultDumpDir(library.c_str(), L'\\', dir.path));
  EXPECT_EQ(Narrow(dir.path), "C:\\Games\\Bin\\\\pxr64\\\\dump");

  FencedPath pxr64;
  FencedPath dump;
  ASSERT_TRUE(Vextra::FormatCrashDumpDirs(library.c_str(), L'\\', pxr64.path, dump.path));
  EXPECT_EQ(Narrow(pxr64.path), "C:\\Games\\Bin\\pxr64\\");
  EXPECT_EQ(Narrow(dump.path), "C:\\Games\\Bin\\pxr64\\\\dump\\");

  static const struct {
    int64_t seconds;
    bool small;
    const char* name;
  } kNames[] = {
      {1765382400, false, "D\\HcDump.HcS.1765382400.dmp"},
      {1765382400, true, "D\\HcDump.HcS.1765382400-small.dmp"},
      {0, false, "D\\HcDump.HcS.0.dmp"},
      // Only the low 32 bits count, as a signed number.
      {0x80000000LL, false, "D\\HcDump.HcS.-2147483648.dmp"},
      {0x1FFFFFFFFLL, true, "D\\HcDump.HcS.-1-small.dmp"},
      {0x100000007LL, false, "D\\HcDump.HcS.7.dmp"},
  };
  for (const auto& row : kNames) {
    SCOPED_TRACE(row.name);
    FencedPath path;
    ASSERT_TRUE(
        Vextra::FormatDumpFilePath(L"D", L'\\', Vextra::DumpNameSeconds(row.seconds), row.small, path.path));
    EXPECT_EQ(Narrow(path.path), row.name);
  }
}

TEST(DumpPaths, APathThatWouldNotFitLeavesAnEmptyBufferAndNothingWrittenPastIt) {
  // "\\HcDump.HcS.1765382400.dmp" is 26 characters: a directory of 233 makes
  // exactly 259, the most a buffer holds with its terminator.
  static const struct {
    size_t dirLength;
    bool small;
    bool fits;
  } kCases[] = {
      {233, false, true}, {234, false, false}, {227, true, true}, {228, true, false}, {400, false, false},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(std::to_string(row.dirLength) + (row.small ? " small" : " full"));
    const std::wstring dir(row.dirLength, L'd');
    FencedPath path;
    EXPECT_EQ(Vextra::FormatDumpFilePath(dir.c_str(), L'\\', 1765382400, row.small, path.path), row.fits);
    EXPECT_TRUE(path.FenceIntact());
    if (row.fits) {
      EXPECT_EQ(std::wstring(path.path).size(), 259u);
    } else {
      EXPECT_EQ(path.path[0], L'\0');
    }
  }
  // The default directory adds 13 characters; the crash directories 7 and 13.
  FencedPath dir;
  EXPECT_TRUE(Vextra::FormatDefaultDumpDir(std::wstring(246, L'x').c_str(), L'\\', dir.path));
  EXPECT_FALSE(Vextra::FormatDefaultDumpDir(std::wstring(247, L'x').c_str(), L'\\', dir.path));
  EXPECT_EQ(dir.path[0], L'\0');
  EXPECT_TRUE(dir.FenceIntact());
  FencedPath pxr64;
  FencedPath dump;
  EXPECT_TRUE(Vextra::FormatCrashDumpDirs(std::wstring(246, L'x').c_str(), L'\\', pxr64.path, dump.path));
  EXPECT_FALSE(Vextra::FormatCrashDumpDirs(std::wstring(247, L'x').c_str(), L'\\', pxr64.path, dump.path));
  EXPECT_EQ(pxr64.path[0], L'\0');
  EXPECT_EQ(dump.path[0], L'\0');
  EXPECT_TRUE(pxr64.FenceIntact() && dump.FenceIntact());
}

TEST(DumpPaths, LibraryDirectoryIsTheTextBeforeTheLastSeparator) {
  static const struct {
    const char* path;
    bool found;
    const char* dir;
  } kCases[] = {
      {"C:\\Games\\Bin\\Vextra64.dll", true, "C:\\Games\\Bin"},
      {"C:\\Vextra64.dll", true, "C:"},
      {"Vextra64.dll", false, ""},
      {"", false, ""},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.path);
    FencedPath dir;
    EXPECT_EQ(Vextra::DirectoryPart(Wide(row.path).c_str(), L'\\', dir.path), row.found);
    EXPECT_EQ(Narrow(dir.path), row.dir);
  }
}

TEST(DumpPaths, SmallCompanionOnlyAboveThreeMebibytes) {
  static const struct {
    uint64_t size;
    bool small;
  } kCases[] = {{0, false}, {3145727, false}, {3145728, false}, {3145729, true}, {0xFFFFFFFF, true}};
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.size);
    EXPECT_EQ(Vextra::NeedsSmallDump(row.size), row.small);
  }
}

// The writing step over a fake dump writer that answers a given 64-bit file
// size: no 4 GiB file is needed to see what a huge dump leads to.
struct FakeDumpFiles {
  uint64_t full_size = 0;
  int32_t seconds = 1765382400;
  std::vector<std::pair<std::string, int32_t>> written;  // path, dump type
};
FakeDumpFiles* g_dump_files = nullptr;

Vextra::DumpFileWriter FakeWriter(FakeDumpFiles& files) {
  g_dump_files = &files;
  return {[](const wchar_t* path, int32_t type, void* context) {
            auto& files = *static_cast<FakeDumpFiles*>(context);
            files.written.emplace_back(Narrow(path), type);
            return files.written.size() == 1 ? files.full_size : uint64_t{4096};
          },
          [] { return g_dump_files->seconds++; },  // each name reads the clock again
          &files};
}

TEST(DumpWriting, AFullDumpLargerThanThreeMebibytesInSixtyFourBitsGetsTheSmallCompanionUploaded) {
  static const struct {
    const char* what;
    uint64_t full_size;
    bool small;
  } kCases[] = {
      {"writing failed", 0, false},
      {"exactly 3 MiB", 3145728, false},
      {"one byte more", 3145729, true},
      {"4 GiB + 1 MiB (low 32 bits: 1 MiB)", 0x100100000ull, true},
      {"exactly 4 GiB (low 32 bits: 0)", 0x100000000ull, true},
      {"8 GiB + 3 MiB (low 32 bits: exactly 3 MiB)", 0x200300000ull, true},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    FakeDumpFiles files;
    files.full_size = row.full_size;
    FencedPath path;
    ASSERT_TRUE(Vextra::WriteDumpWithCompanion(L"D:\\dumps", L'\\', 0x2, FakeWriter(files), path.path));
    EXPECT_TRUE(path.FenceIntact());
    std::vector<std::pair<std::string, int32_t>> want = {{"D:\\dumps\\HcDump.HcS.1765382400.dmp", 0x2}};
    if (row.small) want.emplace_back("D:\\dumps\\HcDump.HcS.1765382401-small.dmp", 0);
    EXPECT_EQ(files.written, want);
    EXPECT_EQ(Narrow(path.path), want.back().first) << "the file named for upload";
  }
}

TEST(DumpWriting, SizesOfFourGibibytesAndMoreReadAsTheLargest32BitSize) {
  static const struct {
    uint64_t bytes;
    uint32_t size;
  } kCases[] = {{0, 0},
                {3145729, 3145729},
                {0xFFFFFFFFull, 0xFFFFFFFFu},
                {0x100000000ull, 0xFFFFFFFFu},
                {0x100100000ull, 0xFFFFFFFFu},
                {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFu}};
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(Vextra::SaturatedDumpSize(row.bytes), row.size);
    EXPECT_EQ(Vextra::NeedsSmallDump(Vextra::SaturatedDumpSize(row.bytes)), row.bytes > 3145728);
  }
}

TEST(DumpWriting, NamesThatWouldNotFitWriteNothingUnderThem) {
  // "\\HcDump.HcS.1765382400.dmp" is 26 characters and the small name 6 more:
  // a directory of 233 fits the full dump's name only.
  static const struct {
    size_t dir_length;
    bool full_fits;
  } kCases[] = {{234, false}, {233, true}};
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.dir_length);
    FakeDumpFiles files;
    files.full_size = 0x100100000ull;
    const std::wstring dir(row.dir_length, L'd');
    FencedPath path;
    EXPECT_EQ(Vextra::WriteDumpWithCompanion(dir.c_str(), L'\\', 0, FakeWriter(files), path.path), row.full_fits);
    EXPECT_EQ(files.written.size(), row.full_fits ? 1u : 0u) << "no companion under a cut name";
    EXPECT_EQ(Narrow(path.path), "");
    EXPECT_TRUE(path.FenceIntact());
  }
}

TEST(RecordText, LinesOfExactlyThreeFieldsAreRecordsAndTheFirstOfADigestWins) {
  static const struct {
    const char* what;
    std::string text;
    std::vector<std::pair<std::string, std::pair<int32_t, std::string>>> records;
    int skipped;
  } kCases[] = {
      {"CR LF and LF", "aa\t100\tG1\r\nbb\t200\tG2\n", {{"aa", {100, "G1"}}, {"bb", {200, "G2"}}}, 0},
      {"two fields skipped", "aa\t100\nbb\t200\tG2\r\n", {{"bb", {200, "G2"}}}, 1},
      {"tab after the GUID still three", "aa\t100\tG1\t\r\n", {{"aa", {100, "G1"}}}, 0},
      {"empty text between tabs counts", "aa\t\tG1\n", {{"aa", {0, "G1"}}}, 0},
      {"two tabs after the GUID make four", "aa\t1\tG1\t\t\n", {}, 1},
      {"four fields skipped", "aa\t1\tG1\tX\n", {}, 1},
      {"empty lines skipped", "\r\n\naa\t1\tG\n", {{"aa", {1, "G"}}}, 2},
      {"first duplicate wins", "aa\t1\tFIRST\naa\t2\tSECOND\n", {{"aa", {1, "FIRST"}}}, 0},
      {"leading digits of the time", "aa\t12abc\tG\nbb\tabc\tH\n", {{"aa", {12, "G"}}, {"bb", {0, "H"}}}, 0},
      {"last line without a line end", "aa\t5\tG", {{"aa", {5, "G"}}}, 0},
      {"not-upload text as the GUID",
       "aa\t5\t--------------------------not upload--------------------------\r\n",
       {{"aa", {5, kNotUpload}}},
       0},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    Vextra::DumpRecordMap records;
    int skipped = 0;
    Vextra::ParseRecordText(row.text, records, &skipped);
    EXPECT_EQ(skipped, row.skipped);
    ASSERT_EQ(records.size(), row.records.size());
    for (const auto& [digest, expected] : row.records) {
      ASSERT_EQ(records.count(digest), 1u) << digest;
      EXPECT_EQ(records[digest].time, expected.first);
      EXPECT_EQ(records[digest].guid, expected.second);
    }
  }
}

TEST(RecordText, ALineLongerThan1022CharactersEndsTheReading) {
  // Three fields padded to the given length with the GUID text.
  const auto line = [](const std::string& digest, size_t length) {
    std::string text = digest + "\t1\t";
    text += std::string(length - text.size(), 'G');
    return text;
  };
  static const struct {
    size_t length;
    size_t records;
  } kCases[] = {{1021, 3}, {1022, 3}, {1023, 1}, {4000, 1}};
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.length);
    const std::string text = line("aa", 40) + "\r\n" + line("bb", row.length) + "\r\n" + line("cc", 40) + "\r\n";
    Vextra::DumpRecordMap records;
    Vextra::ParseRecordText(text, records, nullptr);
    EXPECT_EQ(records.size(), row.records);
    EXPECT_EQ(records.count("aa"), 1u);
  }
}

TEST(RecordText, RewriteKeepsRecordsYoungerThanTenDaysInDigestOrderAndReadsBack) {
  const int64_t now = 1765382400;
  Vextra::DumpRecordMap records;
  records["ffff"] = {static_cast<int32_t>(now - 10), "G3"};
  records["0000"] = {static_cast<int32_t>(now - 863999), "G1"};  // one second within the age
  records["8888"] = {static_cast<int32_t>(now - 864000), "OLD"};  // exactly 10 days: dropped
  records["1111"] = {static_cast<int32_t>(now), kNotUpload};
  const std::string text = Vextra::FormatRecordText(records, now);
  EXPECT_EQ(text, "0000\t1764518401\tG1\r\n1111\t1765382400\t" + kNotUpload +
                      "\r\nffff\t1765382390\tG3\r\n");

  Vextra::DumpRecordMap back;
  int skipped = 0;
  Vextra::ParseRecordText(text, back, &skipped);
  EXPECT_EQ(skipped, 0);
  records.erase("8888");
  ASSERT_EQ(back.size(), records.size());
  for (const auto& [digest, record] : records) {
    EXPECT_EQ(back[digest].time, record.time) << digest;
    EXPECT_EQ(back[digest].guid, record.guid) << digest;
  }
}

TEST(RecentDumps, NewestFiveOfTheLastFiveDaysAndDirectoriesNotCounted) {
  const int64_t now = 1765382400;
  Vextra::RecentDumpSelector selector("D:\\dumps", '\\', now);
  // Seven recent dumps in listing order (not time order), a six-day-old one,
  // one exactly five days old and a directory named like a dump.
  const std::vector<Vextra::DumpListingEntry> listing = {
      {"c.dmp", false, now - 300},       {"old.dmp", false, now - 6 * 86400}, {"a.dmp", false, now - 100},
      {"g.dmp", false, now - 700},       {"sub.dmp", true, now},              {"b.dmp", false, now - 200},
      {"edge.dmp", false, now - 432000}, {"e.dmp", false, now - 500},         {"d.dmp", false, now - 400},
      {"f.dmp", false, now - 600},       {"last.dmp", false, now - 431999},
  };
  for (const auto& entry : listing) EXPECT_TRUE(selector.Offer(entry)) << entry.name;
  EXPECT_EQ(selector.Result(), (std::vector<std::string>{"D:\\dumps\\a.dmp", "D:\\dumps\\b.dmp",
                                                         "D:\\dumps\\c.dmp", "D:\\dumps\\d.dmp",
                                                         "D:\\dumps\\e.dmp"}));
}

// Fewer dumps than the five a scan sends: only their age decides. A dump is
// taken when written less than 432000 seconds (5 days) before now.
TEST(RecentDumps, AgeAloneDecidesWhenFewerThanFiveAreListed) {
  const int64_t now = 1765382400;
  static const struct {
    const char* name;
    int64_t age;
    bool taken;
  } kCases[] = {
      {"now.dmp", 0, true},
      {"hour.dmp", 3600, true},
      {"last.dmp", 431999, true},
      {"edge.dmp", 432000, false},
      {"over.dmp", 432001, false},
      {"week.dmp", 7 * 86400, false},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    Vextra::RecentDumpSelector selector("d", '/', now);
    EXPECT_TRUE(selector.Offer({row.name, false, now - row.age}));
    EXPECT_EQ(selector.Result(), row.taken ? std::vector<std::string>{std::string("d/") + row.name}
                                           : std::vector<std::string>{});
  }
  // Together, and in an order that is not the age order.
  Vextra::RecentDumpSelector selector("d", '/', now);
  for (int i = static_cast<int>(std::size(kCases)) - 1; i >= 0; --i) {
    selector.Offer({kCases[i].name, false, now - kCases[i].age});
  }
  EXPECT_EQ(selector.Result(), (std::vector<std::string>{"d/now.dmp", "d/hour.dmp", "d/last.dmp"}));
}

TEST(RecentDumps, ACountdownFromOneHundredLooksAt102Files) {
  const int64_t now = 1765382400;
  Vextra::RecentDumpSelector selector("d", '/', now);
  // Every file is recent; the later in the listing, the newer.
  int offered = 0;
  for (int i = 0; i < 150; ++i) {
    if (i % 10 == 0) EXPECT_TRUE(selector.Offer({"dir" + std::to_string(i), true, now}));
    ++offered;
    if (!selector.Offer({"f" + std::to_string(i) + ".dmp", false, now - 1000 + i})) break;
  }
  EXPECT_EQ(offered, 102);
  EXPECT_EQ(selector.Result(),
            (std::vector<std::string>{"d/f101.dmp", "d/f100.dmp", "d/f99.dmp", "d/f98.dmp", "d/f97.dmp"}));
}

TEST(RecentDumps, APathLongerThanTheBuffersIsLeftOut) {
  const int64_t now = 1765382400;
  const std::string dir(250, 'd');
  Vextra::RecentDumpSelector selector(dir, '/', now);
  selector.Offer({"1234.dmp", false, now});   // 259 characters: kept
  selector.Offer({"12345.dmp", false, now});  // 260: left out
  EXPECT_EQ(selector.Result(), std::vector<std::string>{dir + "/1234.dmp"});
}

TEST(DumpMarker, FoundAtEveryOffsetThatHoldsAllSixteenBytes) {
  const std::string marker("\x23\xA0\xBE\x93\x46\xFF\x62\x44\xB5\xCA\x54\x10\x85\xFA\xF9\x3B", 16);
  static const struct {
    const char* what;
    size_t before;
    size_t markerBytes;
    size_t after;
    bool found;
  } kCases[] = {
      {"at the start", 0, 16, 100, true},       {"in the middle", 1000, 16, 1000, true},
      {"ending the bytes", 5000, 16, 0, true},  {"only 15 bytes at the end", 5000, 15, 0, false},
      {"shorter than the marker", 0, 15, 0, false}, {"empty", 0, 0, 0, false},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    const std::string bytes = std::string(row.before, '\x23') + marker.substr(0, row.markerBytes) +
                              std::string(row.after, '\xA0');
    EXPECT_EQ(Vextra::ContainsDumpMarker(bytes.data(), bytes.size()), row.found);
  }
  EXPECT_FALSE(Vextra::ContainsDumpMarker(nullptr, 100));
}

TEST(CompressionLimits, SourceBelowEightMebibytesOutputUpToOneAndUploadBufferOfFive) {
  static const struct {
    int64_t size;
    bool compressed;
    bool accepted;
    size_t sent;
  } kCases[] = {
      {-1, false, true, 0},
      {0, true, true, 0},
      {100, true, true, 100},
      {0x100000, true, true, 0x100000},
      {0x100001, true, false, 0x100001},
      {0x500000, true, false, 0x500000},
      {0x500001, true, false, 0x500000},
      {0x7FFFFF, true, false, 0x500000},
      {0x800000, false, false, 0x500000},
      {9 * 1048576, false, false, 0x500000},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.size);
    EXPECT_EQ(Vextra::CompressesSource(row.size), row.compressed);
    EXPECT_EQ(Vextra::AcceptsCompressedSize(row.size), row.accepted || row.size < 0);
    EXPECT_EQ(Vextra::UploadBytesOf(row.size), row.sent);
  }
}

}  // namespace
