#include "db/stored_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_encoding.h"

namespace Vextra {
namespace {

// A single-byte ANSI code page in the manner of 1252: characters up to U+00FF
// are their byte, everything else is lost as "?".
std::string WideToLatin1(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<uint32_t>(c) <= 0xFF ? static_cast<char>(c) : '?');
  return out;
}

std::wstring Latin1ToWide(const std::string& text) {
  std::wstring out;
  for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

const PathCodec kLatin1System{platform::WideToUtf8, platform::Utf8ToWide, WideToLatin1, Latin1ToWide};

// "C:\Users\Алексей\lumaro/vextra_data", and its file "error_data.info_1700000000_42".
const std::wstring kCyrillicDir = L"C:\\Users\\\x0410\x043B\x0435\x043A\x0441\x0435\x0439\\lumaro/vextra_data";
const std::wstring kCyrillicFile = kCyrillicDir + L"/error_data.info_1700000000_42";
// The same directory in UTF-8 bytes, and as a single-byte code page lost it.
const std::string kCyrillicDirUtf8 =
    "C:\\Users\\\xD0\x90\xD0\xBB\xD0\xB5\xD0\xBA\xD1\x81\xD0\xB5\xD0\xB9\\lumaro/vextra_data";
const std::string kCyrillicFileUtf8 = kCyrillicDirUtf8 + "/error_data.info_1700000000_42";
const std::string kCyrillicFileLost = "C:\\Users\\???????\\lumaro/vextra_data/error_data.info_1700000000_42";

TEST(StoredPath, WellFormedUtf8IsToldFromOtherBytes) {
  static const struct {
    const char* bytes;
    bool wellFormed;
  } kCases[] = {
      {"C:/lumaro/vextra_data/error_data.info_1_2", true},
      {"\xD0\x90\xD0\xBB", true},           // Cyrillic, two bytes each
      {"\xE4\xB8\xAD\xE6\x96\x87", true},   // CJK, three bytes each
      {"\xF0\x9F\x98\x80", true},           // above the basic plane, four bytes
      {"\xF4\x8F\xBF\xBF", true},           // U+10FFFF, the last code point
      {"Jos\xE9", false},                   // a 1252 byte alone
      {"\xC3", false},                      // a sequence cut at the end
      {"\xE4\xB8", false},
      {"\x80", false},                      // a continuation byte with no lead
      {"\xC0\x80", false},                  // overlong forms
      {"\xE0\x80\x80", false},
      {"\xF0\x80\x80\x80", false},
      {"\xED\xA0\x80", false},              // a surrogate
      {"\xF4\x90\x80\x80", false},          // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xD0\x41", false},                  // a lead followed by no continuation
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(IsWellFormedUtf8(c.bytes), c.wellFormed);
  }
}

TEST(StoredPath, NewRecordsHoldUtf8AndUpdatesAlsoMatchTheCodePageForm) {
  EXPECT_EQ(StoredPathText(kCyrillicFile, kLatin1System), kCyrillicFileUtf8);

  EXPECT_EQ(StoredPathForms(kCyrillicFile, kLatin1System),
            (std::vector<std::string>{kCyrillicFileUtf8, kCyrillicFileLost}));
  // "C:\José/x": UTF-8 C3 A9, code page E9.
  EXPECT_EQ(StoredPathForms(L"C:\\Jos\x00E9/x", kLatin1System),
            (std::vector<std::string>{"C:\\Jos\xC3\xA9/x", "C:\\Jos\xE9/x"}));
  // A path both forms spell alike is matched once.
  EXPECT_EQ(StoredPathForms(L"C:/lumaro/vextra_data/error_data.info_1_2", kLatin1System),
            (std::vector<std::string>{"C:/lumaro/vextra_data/error_data.info_1_2"}));
}

TEST(StoredPath, ReadingBackFindsTheFileInTheDataDirectory) {
  const std::wstring jose_dir = L"C:\\Users\\Jos\x00E9/vextra_data";
  // "C:\Ã©": in 1252 the bytes C3 A9, which are also UTF-8 for "é".
  const std::wstring mojibake_dir = L"C:\\\x00C3\x00A9/vextra_data";
  const std::wstring accent_dir = L"C:\\\x00E9/vextra_data";
  const struct {
    const char* what;
    std::string stored;
    std::wstring dataDir;
    std::wstring path;
  } kCases[] = {
      {"a new record", kCyrillicFileUtf8, kCyrillicDir, kCyrillicFile},
      {"an earlier run's record with the directory lost", kCyrillicFileLost, kCyrillicDir, kCyrillicFile},
      {"an earlier run's record, directory lost, separators of Windows",
       "C:\\Users\\???????\\lumaro\\vextra_data\\error_data.info_1_2",
       L"C:\\Users\\\x0410\x043B\x0435\x043A\x0441\x0435\x0439\\lumaro\\vextra_data",
       L"C:\\Users\\\x0410\x043B\x0435\x043A\x0441\x0435\x0439\\lumaro\\vextra_data\\error_data.info_1_2"},
      {"an earlier run's record the code page could hold", "C:\\Users\\Jos\xE9/vextra_data/error_data.info_1_2",
       jose_dir, jose_dir + L"/error_data.info_1_2"},
      {"a new record of the same directory", "C:\\Users\\Jos\xC3\xA9/vextra_data/error_data.info_1_2", jose_dir,
       jose_dir + L"/error_data.info_1_2"},
      {"code-page bytes that also read as UTF-8, in the directory they name",
       "C:\\\xC3\xA9/vextra_data/error_data.info_1_2", mojibake_dir, mojibake_dir + L"/error_data.info_1_2"},
      {"the same bytes as a new record", "C:\\\xC3\xA9/vextra_data/error_data.info_1_2", accent_dir,
       accent_dir + L"/error_data.info_1_2"},
      {"a directory that is not the data directory stays as stored", "D:\\other/error_data.info_1_2",
       kCyrillicDir, L"D:\\other/error_data.info_1_2"},
      {"a code-page record outside the data directory is read through the code page",
       "D:\\Jos\xE9/error_data.info_1_2", kCyrillicDir, L"D:\\Jos\x00E9/error_data.info_1_2"},
      {"a lost directory of another length is not the data directory",
       "C:\\Users\\??\\lumaro/vextra_data/error_data.info_1_2", kCyrillicDir,
       L"C:\\Users\\??\\lumaro/vextra_data/error_data.info_1_2"},
      {"a file in a directory below the data directory", kCyrillicDirUtf8 + "/sub/f", kCyrillicDir,
       kCyrillicDir + L"/sub/f"},
      {"no data directory known", kCyrillicFileLost, L"",
       L"C:\\Users\\???????\\lumaro/vextra_data/error_data.info_1700000000_42"},
      {"a bare name", "error_data.info_1_2", kCyrillicDir, L"error_data.info_1_2"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ReadStoredPath(c.stored, c.dataDir, kLatin1System), c.path);
  }
}

}  // namespace
}  // namespace Vextra
