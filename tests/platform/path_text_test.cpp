#include "platform/path_text.h"

#include <gtest/gtest.h>

#include "platform/text_encoding.h"

namespace Vextra::platform {
namespace {

TEST(PathTextTest, DirectoryIsCutAtTheLastSeparator) {
  static const struct {
    const wchar_t* path;
    wchar_t separator;
    const wchar_t* directory;
  } kCases[] = {
      {L"C:\\Games\\Bin\\Vextra64.dll", L'\\', L"C:\\Games\\Bin"},
      {L"C:\\Games/Bin\\Vextra64.dll", L'\\', L"C:\\Games/Bin"},
      {L"C:\\Games\\Bin/Vextra64.dll", L'\\', L"C:\\Games\\Bin"},
      {L"C:\\Vextra64.dll", L'\\', L"C:"},
      {L"/opt/game/libVextra64.so", L'/', L"/opt/game"},
      // A back-slash is an ordinary file-name character where '/' separates.
      {L"/opt/game/odd\\name.so", L'/', L"/opt/game"},
      {L"Vextra64.dll", L'\\', L""},
      {L"", L'/', L""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(WideToUtf8(c.path));
    EXPECT_EQ(DirectoryOf(c.path, c.separator), c.directory);
  }
}

TEST(PathTextTest, FileNameIsTheTextAfterTheLastSlashOfEitherKind) {
  static const struct {
    const char* path;
    const char* name;
  } kCases[] = {
      {"C:\\Games\\Bin\\game.exe", "game.exe"},
      {"/opt/game/bin/game", "game"},
      {"C:\\Games/Bin\\game.exe", "game.exe"},
      {"game.exe", "game.exe"},
      {"C:\\Games\\", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(FileNamePart(c.path), c.name);
  }
}

}  // namespace
}  // namespace Vextra::platform
