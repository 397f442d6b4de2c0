// scripts/check_debug_identity.sh, which `make dist` runs on each unpacked
// archive: it passes our own library pairs and fails every way a pair can
// stop matching.

#include <gtest/gtest.h>

#include <filesystem>

#include "collector/symbols/tests/symbol_test_files.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using symbols_test::IsFile;
using symbols_test::Quote;
using symbols_test::ReadFile;
using symbols_test::Shell;
using symbols_test::WindowsBuild;
using symbols_test::WriteFile;

struct ScriptResult {
  int status = 0;
  std::string output;
};

ScriptResult CheckPair(const std::string& library, const std::string& debug_file) {
  const std::string output = Shell("bash " + Quote(std::string(VEXTRA_SOURCE_DIR) + "/scripts/check_debug_identity.sh") +
                                   " " + Quote(library) + " " + Quote(debug_file) + " 2>&1; echo \"status $?\"");
  ScriptResult result;
  const size_t at = output.rfind("status ");
  result.status = at == std::string::npos ? -1 : std::stoi(output.substr(at + 7));
  result.output = output.substr(0, at);
  return result;
}

TEST(DebugIdentityScriptTest, OurLibrariesAndTheirDebugFilesPass) {
  const std::string dll = WindowsBuild() + "/Vextra64.dll";
  REQUIRE_WINDOWS_FILE(dll);
  for (const auto& [library, debug_file] : {std::pair<std::string, std::string>{VEXTRA_SHIPPED_LIBRARY, VEXTRA_SHIPPED_DEBUG_FILE},
                                           {dll, dll + ".debug"}}) {
    SCOPED_TRACE(library);
    const ScriptResult result = CheckPair(library, debug_file);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output.find("FAIL"), std::string::npos) << result.output;
  }
}

TEST(DebugIdentityScriptTest, PairsThatNoLongerMatchFail) {
  vextra_test::TempDir dir("vextra-identity");
  const auto path = [&](const char* name) { return (dir.path() / name).string(); };
  const std::string library = VEXTRA_SHIPPED_LIBRARY;
  const std::string debug_file = VEXTRA_SHIPPED_DEBUG_FILE;
  // Another build's debug file, placed under the expected name.
  fs::create_directories(dir.path() / "other");
  const std::string other_debug = (dir.path() / "other" / "libVextra64.so.debug").string();
  Shell("objcopy --only-keep-debug " + Quote(VEXTRA_COLLECTOR_PATH) + " " + Quote(other_debug));
  // The right debug file with one byte changed far from its identity.
  fs::create_directories(dir.path() / "changed");
  const std::string changed_debug = (dir.path() / "changed" / "libVextra64.so.debug").string();
  std::string bytes = ReadFile(debug_file);
  bytes[bytes.size() - 100] ^= 1;
  WriteFile(changed_debug, bytes);
  // The library without its build id, and with a link to another name.
  Shell("objcopy --remove-section=.note.gnu.build-id " + Quote(library) + " " + Quote(path("no-id.so")));
  fs::copy_file(debug_file, path("renamed.debug"));
  Shell("objcopy --remove-section=.gnu_debuglink --add-gnu-debuglink=" + Quote(path("renamed.debug")) + " " +
        Quote(library) + " " + Quote(path("relinked.so")));
  for (const char* made : {"no-id.so", "relinked.so"}) ASSERT_TRUE(IsFile(path(made))) << made;
  ASSERT_TRUE(IsFile(other_debug));

  const struct {
    const char* name;
    std::string library, debug_file;
    const char* failure;
  } kCases[] = {
      {"another build's debug file", library, other_debug, "FAIL libVextra64.so.debug carries the same identity"},
      {"a changed debug file", library, changed_debug, "FAIL the debug link's checksum"},
      {"a library without identity", path("no-id.so"), debug_file, "FAIL no-id.so carries an identity"},
      {"a link naming another file", path("relinked.so"), debug_file, "FAIL the debug link names libVextra64.so.debug"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    const ScriptResult result = CheckPair(row.library, row.debug_file);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find(row.failure), std::string::npos) << result.output;
  }
}

}  // namespace
