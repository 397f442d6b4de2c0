#include "core/config_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/process_flags.h"
#include "support/temp_dir.h"

namespace Vextra {
namespace {

using namespace std::string_view_literals;

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDebugMode(false); }
  void TearDown() override { SetDebugMode(false); }

  CommonInfo settings_;
};

struct ConfigCase {
  const char* name;
  const char* preset_app_id;  // what the host set before start-up
  std::string_view text;
  const char* app_id;
  const char* server_url;
  const char* game_name;
  const char* log_path;
  const char* ignored_dll;  // the one upper-cased name expected, or "" for none
  bool debug_mode;
};

constexpr ConfigCase kLineCases[] = {
    {"plain app id", "", "<AppId>game42</AppId>", "game42", "", "", "", "", false},
    {"blanks and tabs trimmed", "", " \t<AppId> \tgame42\t </AppId>  ", "game42", "", "", "", "", false},
    {"blank inside kept", "", "<AppId>my game</AppId>", "my game", "", "", "", "", false},
    {"no closing tag: to line end", "", "<AppId>game42 \t", "game42", "", "", "", "", false},
    {"closing tag before opening: to line end", "", "</AppId><AppId>game42", "game42", "", "", "", "", false},
    {"first closing tag before opening wins over a later one", "", "</AppId><AppId>game42</AppId>",
     "game42</AppId>", "", "", "", "", false},
    {"text after closing tag ignored", "", "<AppId>game42</AppId>trailing", "game42", "", "", "", "", false},
    {"app id beats domain url on one line", "", "<DomainUrl>https://c.example</DomainUrl><AppId>a1</AppId>",
     "a1", "", "", "", "", false},
    {"domain url beats ignore dlls on one line", "", "<IgnoreDlls>x.dll</IgnoreDlls><DomainUrl>https://d</DomainUrl>",
     "", "https://d", "", "", "", false},
    {"ignore dlls beats ignore count on one line", "", "<IgnoreDllCnt>1</IgnoreDllCnt><IgnoreDlls>y.dll</IgnoreDlls>",
     "", "", "", "", "Y.DLL", false},
    {"ignore count beats game name on one line", "", "<GameName>g</GameName><IgnoreDllCnt>1</IgnoreDllCnt>", "", "",
     "", "", "", false},
    {"game name beats log output on one line", "game42", "<LogOutput>game42</LogOutput><GameName>g</GameName>",
     "game42", "", "g", "", "", false},
    {"log output beats log path on one line", "game42", "<LogPath>p</LogPath><LogOutput>game42</LogOutput>",
     "game42", "", "", "", "", true},
    {"closing comment marker skips line", "host", "<AppId>x</AppId> -->", "host", "", "", "", "", false},
    {"opening comment marker skips line", "host", "<!-- <AppId>x</AppId>", "host", "", "", "", "", false},
    {"lines inside a multi-line comment are read", "", "<!--\n<AppId>inside</AppId>\n-->", "inside", "", "",
     "", "", false},
    {"empty value leaves setting", "host", "<AppId></AppId>", "host", "", "", "", "", false},
    {"blank-only value leaves setting", "host", "<AppId> \t </AppId>", "host", "", "", "", "", false},
    {"tags are case-sensitive", "host", "<appid>x</appid>", "host", "", "", "", "", false},
    {"later line overrides", "", "<AppId>a</AppId>\n<AppId>b</AppId>\n", "b", "", "", "", "", false},
    {"CRLF line ends", "", "<AppId>a\r\n<DomainUrl>https://u.example\r\n", "a", "https://u.example", "", "", "",
     false},
    {"embedded NUL ends the line", "", "<AppId>ab\0cd</AppId>\n<GameName>g</GameName>"sv, "ab", "", "g", "", "",
     false},
    {"domain url", "", "<DomainUrl> https://c.example:8443 </DomainUrl>", "", "https://c.example:8443", "", "", "",
     false},
    {"game name", "", "<GameName>\tHero Quest\t</GameName>", "", "", "Hero Quest", "", "", false},
    {"log path", "", "<LogPath> C:\\logs\\game.log </LogPath>", "", "", "", "C:\\logs\\game.log", "", false},
    {"ignored dll upper-cased", "", "<IgnoreDlls> overlay64.dll </IgnoreDlls>", "", "", "", "", "OVERLAY64.DLL",
     false},
    {"ignore count is discarded", "", "<IgnoreDllCnt>3</IgnoreDllCnt>", "", "", "", "", "", false},
    {"unknown tag and stray text ignored", "h", "<Foo>x</Foo>\nhello\n\n", "h", "", "", "", "", false},
    {"log output matches host app id", "game42", "<LogOutput>game42</LogOutput>", "game42", "", "", "", "", true},
    {"log output with trailing blank does not match", "game42", "<LogOutput>game42 </LogOutput>", "game42", "", "",
     "", "", false},
    {"log output matches earlier app id line", "", "<AppId>game42</AppId>\n<LogOutput>game42</LogOutput>",
     "game42", "", "", "", "", true},
    {"log output compares with app id current at its line", "", "<LogOutput>game42</LogOutput>\n<AppId>game42</AppId>",
     "game42", "", "", "", "", false},
    {"empty log output never matches empty app id", "", "<LogOutput></LogOutput>", "", "", "", "", "", false},
    {"commented log output ignored", "game42", "<!--<LogOutput>game42</LogOutput>-->", "game42", "", "", "", "",
     false},
};

TEST_F(ConfigFileTest, AppliesLinesByTheRules) {
  for (const ConfigCase& c : kLineCases) {
    SCOPED_TRACE(c.name);
    settings_.ResetForTesting();
    SetDebugMode(false);
    if (*c.preset_app_id != '\0') settings_.SetAppId(c.preset_app_id);

    ApplyConfigText(std::string(c.text), settings_);

    EXPECT_EQ(settings_.GetAppId(), c.app_id);
    EXPECT_EQ(settings_.GetServerUrl(), c.server_url);
    EXPECT_EQ(settings_.GetGameName(), c.game_name);
    EXPECT_EQ(settings_.GetConfigLogPath(), c.log_path);
    if (*c.ignored_dll == '\0') {
      EXPECT_TRUE(settings_.GetIgnoredDlls().empty());
    } else {
      EXPECT_EQ(settings_.GetIgnoredDlls(), std::set<std::string>{c.ignored_dll});
    }
    EXPECT_EQ(IsDebugMode(), c.debug_mode);
  }
}

TEST_F(ConfigFileTest, OwnDumpWriterLineChoosesTheWriterOrder) {
  struct Row {
    const char* name;
    bool before;  // the setting before the text is read
    const char* text;
    bool after;
  };
  const Row rows[] = {
      {"off by default", false, "", false},
      {"1 puts it first", false, "<OwnDumpWriter>1</OwnDumpWriter>", true},
      {"true in any case, trimmed", false, "<OwnDumpWriter> TrUe\t</OwnDumpWriter>", true},
      {"0 takes it back", true, "<OwnDumpWriter>0</OwnDumpWriter>", false},
      {"any other word is off", true, "<OwnDumpWriter>yes</OwnDumpWriter>", false},
      {"a longer word starting with true is off", true, "<OwnDumpWriter>trueish</OwnDumpWriter>", false},
      {"empty value leaves it", true, "<OwnDumpWriter></OwnDumpWriter>", true},
      {"commented line is skipped", false, "<!-- <OwnDumpWriter>1</OwnDumpWriter> -->", false},
      {"later line wins", false, "<OwnDumpWriter>1</OwnDumpWriter>\n<OwnDumpWriter>0</OwnDumpWriter>", false},
      {"an earlier tag on the line decides", false, "<LogPath>p</LogPath><OwnDumpWriter>1</OwnDumpWriter>", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    settings_.ResetForTesting();
    settings_.SetOwnDumpWriterFirst(row.before);
    ApplyConfigText(row.text, settings_);
    EXPECT_EQ(settings_.GetOwnDumpWriterFirst(), row.after);
  }
}

TEST_F(ConfigFileTest, OnlyTheFirst32IgnoreDllsLinesCount) {
  std::string text;
  for (int i = 1; i <= 33; ++i) text += "<IgnoreDlls>mod" + std::to_string(i) + ".dll</IgnoreDlls>\n";
  ApplyConfigText(text, settings_);

  EXPECT_EQ(settings_.GetIgnoredDlls().size(), 32u);
  EXPECT_TRUE(settings_.IsIgnoredDll("mod32.dll"));
  EXPECT_FALSE(settings_.IsIgnoredDll("mod33.dll"));
}

TEST_F(ConfigFileTest, IgnoreDllsLimitCountsLinesNotFilesOrComments) {
  // Commented lines use no place; each file read starts a fresh count.
  std::string text = "<!-- <IgnoreDlls>skipped.dll</IgnoreDlls> -->\n";
  for (int i = 1; i <= 32; ++i) text += "<IgnoreDlls>a" + std::to_string(i) + ".dll</IgnoreDlls>\n";
  ApplyConfigText(text, settings_);
  ApplyConfigText("<IgnoreDlls>second.dll</IgnoreDlls>\n", settings_);

  EXPECT_FALSE(settings_.IsIgnoredDll("skipped.dll"));
  EXPECT_TRUE(settings_.IsIgnoredDll("a32.dll"));
  EXPECT_TRUE(settings_.IsIgnoredDll("second.dll"));
}

TEST_F(ConfigFileTest, EmptyIgnoreDllsLinesUseUpPlacesToo) {
  // Lines 1 and 2 carry no name, so a1..a30 fill the 32 places.
  std::string text = "<IgnoreDlls></IgnoreDlls>\n<IgnoreDlls>   </IgnoreDlls>\n";
  for (int i = 1; i <= 31; ++i) text += "<IgnoreDlls>a" + std::to_string(i) + ".dll</IgnoreDlls>\n";
  ApplyConfigText(text, settings_);

  EXPECT_EQ(settings_.GetIgnoredDlls().size(), 30u);
  EXPECT_TRUE(settings_.IsIgnoredDll("a30.dll"));
  EXPECT_FALSE(settings_.IsIgnoredDll("a31.dll"));
}

TEST_F(ConfigFileTest, OverlongLinesAreReadThroughTheirFirstBytes) {
  const size_t max = kMaxConfigLineBytes;
  const std::string blanks(max, ' ');
  struct Row {
    const char* name;
    std::string text;
    std::string app_id;  // "host" is what the host set
    std::string game_name;
  };
  const Row rows[] = {
      // Lines that fit are read exactly, their line end not counted.
      {"value padded to the longest line, CRLF", "<AppId>fits" + blanks.substr(11) + "\r\n<GameName>g</GameName>",
       "fits", "g"},
      {"closing tag at the very end", "<AppId>fits" + blanks.substr(11 + 8) + "</AppId>", "fits", ""},
      // Longer lines: only their first bytes count.
      {"value runs past the cut", "<AppId>" + std::string(max, 'a') + "\n<GameName>g</GameName>",
       std::string(max - 7, 'a'), "g"},
      {"closing tag past the cut", "<AppId>x" + blanks + "</AppId>", "x", ""},
      {"tag past the cut is not seen", blanks + "<AppId>late</AppId>\n<GameName>g</GameName>", "host", "g"},
      {"comment marker past the cut skips the line", "<AppId>x</AppId>" + blanks + "-->\n<GameName>g</GameName>",
       "host", "g"},
      {"comment marker across the cut skips the line",
       "<AppId>x</AppId>" + blanks.substr(16 + 2) + "<!--" + blanks, "host", ""},
      {"comment marker after a NUL past the cut does not count",
       "<AppId>x</AppId>" + blanks + std::string(1, '\0') + "-->", "x", ""},
      {"NUL before the cut ends the line", "<AppId>x" + std::string(1, '\0') + blanks + "-->", "x", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (bool from_file : {false, true}) {
      SCOPED_TRACE(from_file ? "file read in pieces" : "whole text");
      settings_.ResetForTesting();
      settings_.SetAppId("host");
      if (from_file) {
        vextra_test::TempDir dir{"vextra-config"};
        FILE* file = std::fopen((dir.path() / "VextraConfig64.dat").string().c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(row.text.data(), 1, row.text.size(), file);
        std::fclose(file);
        ASSERT_TRUE(ReadConfigFilesIn(dir.wpath(), settings_));
      } else {
        ApplyConfigText(row.text, settings_);
      }
      EXPECT_EQ(settings_.GetAppId(), row.app_id);
      EXPECT_EQ(settings_.GetGameName(), row.game_name);
    }
  }
}

// Files on disk, in a directory of their own.
class ConfigFilesOnDiskTest : public ConfigFileTest {
 protected:
  void Write(const char* name, const std::string& content) {
    FILE* file = std::fopen((dir_.path() / name).string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }

  vextra_test::TempDir dir_{"vextra-config"};
};

TEST_F(ConfigFilesOnDiskTest, BothPresentOnlyTheFirstIsRead) {
  Write("HexaCubConfig64.dat", "<AppId>first</AppId>\r\n<GameName>one</GameName>\r\n");
  Write("VextraConfig64.dat", "<AppId>second</AppId>\n<DomainUrl>https://second.example</DomainUrl>\n");

  EXPECT_TRUE(ReadConfigFilesIn(dir_.wpath(), settings_));

  EXPECT_EQ(settings_.GetAppId(), "first");
  EXPECT_EQ(settings_.GetGameName(), "one");
  EXPECT_EQ(settings_.GetServerUrl(), "");
}

TEST_F(ConfigFilesOnDiskTest, SecondNameReadWhenFirstIsMissing) {
  Write("VextraConfig64.dat",
        "<AppId>game42</AppId>\r\n<LogOutput>game42</LogOutput>\r\n<IgnoreDlls>hook.dll</IgnoreDlls>");

  EXPECT_TRUE(ReadConfigFilesIn(dir_.wpath(), settings_));

  EXPECT_EQ(settings_.GetAppId(), "game42");
  EXPECT_TRUE(IsDebugMode());
  EXPECT_TRUE(settings_.IsIgnoredDll("HOOK.DLL"));
}

TEST_F(ConfigFilesOnDiskTest, LinesAcrossReadPiecesStayWhole) {
  // The file is read in pieces; the app id line is placed across every offset
  // around 4,096 bytes, its line end split included, and the last line has no end.
  const std::string line = "<AppId> spanning\r\n";
  for (size_t before = 0; before <= line.size(); ++before) {
    SCOPED_TRACE(before);
    settings_.ResetForTesting();
    std::string padding = "<Foo>" + std::string(4096 - before - 6, 'p') + "\n";
    Write("HexaCubConfig64.dat", padding + line + "<GameName>last</GameName>");

    EXPECT_TRUE(ReadConfigFilesIn(dir_.wpath(), settings_));

    EXPECT_EQ(settings_.GetAppId(), "spanning");
    EXPECT_EQ(settings_.GetGameName(), "last");
  }
}

TEST_F(ConfigFilesOnDiskTest, DirectoryWithTheFirstNameIsPassedOver) {
  std::filesystem::create_directory(dir_.path() / "HexaCubConfig64.dat");
  Write("VextraConfig64.dat", "<AppId>second</AppId>\n");

  EXPECT_TRUE(ReadConfigFilesIn(dir_.wpath(), settings_));

  EXPECT_EQ(settings_.GetAppId(), "second");
}

TEST_F(ConfigFilesOnDiskTest, NoFileChangesNothing) {
  settings_.SetAppId("host");

  EXPECT_FALSE(ReadConfigFilesIn(dir_.wpath(), settings_));

  EXPECT_EQ(settings_.GetAppId(), "host");
  EXPECT_FALSE(IsDebugMode());
}

}  // namespace
}  // namespace Vextra
