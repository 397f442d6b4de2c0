#include "db/record_digest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace Vextra {
namespace {

std::wstring WriteFile(const vextra_test::TempDir& dir, const char* name, const std::string& bytes) {
  std::filesystem::path path = dir.path() / name;
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path.wstring();
}

// Bytes that differ from one 4 KiB block to the next, so a cut at the wrong
// place changes the digest.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
  return bytes;
}

TEST(CrashRecordDigestTest, KnownDigestsAndUnreadableFiles) {
  vextra_test::TempDir dir;
  EXPECT_EQ(CrashRecordDigest(WriteFile(dir, "empty", "")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(CrashRecordDigest(WriteFile(dir, "abc", "abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(CrashRecordDigest((dir.path() / "missing").wstring()), std::string(32, 'A'));
  EXPECT_EQ(CrashRecordDigest(L""), std::string(32, 'A'));
  EXPECT_EQ(CrashRecordDigest(dir.wpath()), std::string(32, 'A'));  // a directory is not a data file
}

TEST(CrashRecordDigestTest, CoversExactlyTheFirstFiveMiB) {
  vextra_test::TempDir dir;
  const std::string head = Pattern(kRecordDigestBytes + 1);
  const std::string exact = CrashRecordDigest(WriteFile(dir, "exact", head.substr(0, kRecordDigestBytes)));
  EXPECT_EQ(CrashRecordDigest(WriteFile(dir, "longer", head + "tail bytes")), exact);
  EXPECT_NE(CrashRecordDigest(WriteFile(dir, "shorter", head.substr(0, kRecordDigestBytes - 1))), exact);
  EXPECT_EQ(exact.size(), 32u);
  EXPECT_EQ(exact.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace Vextra
