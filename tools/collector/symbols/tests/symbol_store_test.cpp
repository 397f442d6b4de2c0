#include "collector/symbols/symbol_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "collector/symbols/tests/symbol_test_files.h"
#include "support/temp_dir.h"

namespace collector {
namespace {

namespace fs = std::filesystem;
using symbols_test::ElfBuildId;
using symbols_test::IsFile;
using symbols_test::PeDebugId;
using symbols_test::Quote;
using symbols_test::ReadFile;
using symbols_test::Shell;
using symbols_test::WindowsBuild;
using symbols_test::WriteFile;

struct CommandResult {
  int status = 0;
  std::string out, err;
};

CommandResult Symbols(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  CommandResult result;
  result.status = RunSymbolsCommand(args, out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// No temporary file is left beside what was stored.
void ExpectNoTemporaryFiles(const fs::path& folder) {
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

// `symbols add IMAGE` stores the image and, found through its debug link
// beside it or in .debug/ beside it (with the right checksum), its debug file,
// both under the identity the platform's own tools print for the image.
void CheckAddFollowsDebugLink(const std::string& image, const std::string& debug, const std::string& link_name,
                              const std::string& expected_id) {
  ASSERT_FALSE(expected_id.empty());
  const std::string image_name = fs::path(image).filename().string();
  const std::string image_bytes = ReadFile(image);
  const std::string debug_bytes = ReadFile(debug);
  std::string damaged = debug_bytes;
  damaged[damaged.size() / 2] ^= 0x5A;
  const struct {
    const char* name;
    const char* debug_folder;  // relative to the image's folder; null: no debug file there
    bool damaged;
    bool found;
  } kLayouts[] = {
      {"beside the image", ".", false, true},
      {"in .debug beside the image", ".debug", false, true},
      {"beside the image but changed", ".", true, false},
      {"missing", nullptr, false, false},
  };
  for (const auto& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    vextra_test::TempDir dir("vextra-symbols");
    const fs::path bin = dir.path() / "bin";
    fs::create_directories(bin);
    WriteFile((bin / image_name).string(), image_bytes);
    std::string debug_path;
    if (layout.debug_folder != nullptr) {
      fs::create_directories(bin / layout.debug_folder);
      debug_path = (bin / layout.debug_folder / link_name).lexically_normal().string();
      WriteFile(debug_path, layout.damaged ? damaged : debug_bytes);
    }
    const std::string db = (dir.path() / "data" / "collector.db").string();
    fs::create_directories(dir.path() / "data");

    const CommandResult added = Symbols({"add", "--db", db, (bin / image_name).string()});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_TRUE(Contains(added.out, "stored " + (bin / image_name).string() + " as " + expected_id + " (image)\n"))
        << added.out;

    const StoredSymbols stored = SymbolStore(db).Find(expected_id);
    const fs::path folder = dir.path() / "data" / "symbols" / expected_id;
    EXPECT_EQ(stored.image_path, (folder / image_name).string());
    EXPECT_TRUE(ReadFile(stored.image_path) == image_bytes) << "the stored image differs from " << image;
    if (layout.found) {
      EXPECT_TRUE(Contains(added.out, "stored " + debug_path + " as " + expected_id + " (debug)\n")) << added.out;
      EXPECT_EQ(stored.debug_path, (folder / (image_name + ".debug")).string());
      EXPECT_TRUE(ReadFile(stored.debug_path) == debug_bytes) << "the stored debug file differs from " << debug;
    } else {
      EXPECT_EQ(stored.debug_path, "");
      EXPECT_FALSE(Contains(added.out, "(debug)")) << added.out;
      EXPECT_TRUE(Contains(added.out, layout.damaged ? "checksum" : "no debug file")) << added.out;
    }
    ExpectNoTemporaryFiles(dir.path() / "data" / "symbols");
  }
}

TEST(SymbolStoreTest, AddingAnElfLibraryStoresItsDebugFileFoundThroughTheDebugLink) {
  CheckAddFollowsDebugLink(VEXTRA_SHIPPED_LIBRARY, VEXTRA_SHIPPED_DEBUG_FILE, "libVextra64.so.debug",
                           ElfBuildId(VEXTRA_SHIPPED_LIBRARY));
}

TEST(SymbolStoreTest, AddingThePeLibraryStoresItsDebugFileFoundThroughTheDebugLink) {
  const std::string dll = WindowsBuild() + "/Vextra64.dll";
  REQUIRE_WINDOWS_FILE(dll);
  CheckAddFollowsDebugLink(dll, dll + ".debug", "Vextra64.dll.debug", PeDebugId(dll));
}

// A dump written by Wine's dbghelp names a module only by its headers: the
// image's TimeDateStamp and SizeOfImage, read here from the file itself.
TEST(SymbolStoreTest, ThePeLibraryIsAlsoFoundByItsCodeId) {
  const std::string dll = WindowsBuild() + "/Vextra64.dll";
  REQUIRE_WINDOWS_FILE(dll);
  const std::string bytes = ReadFile(dll);
  auto u32 = [&](size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes.at(at + i));
    return value;
  };
  const size_t pe = u32(0x3C);
  char code_id[24];
  std::snprintf(code_id, sizeof code_id, "%08X%x", u32(pe + 8), u32(pe + 24 + 56));

  vextra_test::TempDir dir("vextra-symbols");
  const std::string db = (dir.path() / "collector.db").string();
  const CommandResult added = Symbols({"add", "--db", db, dll});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_TRUE(Contains(added.out, std::string("by its code id ") + code_id + "\n")) << added.out;

  const SymbolStore store(db);
  const StoredSymbols by_debug_id = store.Find(PeDebugId(dll));
  const StoredSymbols by_code_id = store.Find(code_id);
  EXPECT_FALSE(by_debug_id.image_path.empty());
  EXPECT_FALSE(by_debug_id.debug_path.empty());
  EXPECT_EQ(by_code_id.image_path, by_debug_id.image_path);
  EXPECT_EQ(by_code_id.debug_path, by_debug_id.debug_path);
  // Another image's headers lead nowhere.
  std::snprintf(code_id, sizeof code_id, "%08X%x", u32(pe + 8) + 1, u32(pe + 24 + 56));
  EXPECT_EQ(store.Find(code_id).image_path, "");
}

// A debug file added on its own lands beside its image under the same key;
// adding the same files again replaces them and keeps one index row each.
TEST(SymbolStoreTest, DebugFilesAddedOnTheirOwnAndFilesAddedTwice) {
  vextra_test::TempDir dir("vextra-symbols");
  const std::string db = (dir.path() / "collector.db").string();
  const std::string id = ElfBuildId(VEXTRA_SHIPPED_LIBRARY);
  const std::string lone_debug = (dir.path() / "libVextra64.so.debug").string();
  WriteFile(lone_debug, ReadFile(VEXTRA_SHIPPED_DEBUG_FILE));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    CommandResult added = Symbols({"add", "--db", db, lone_debug});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "stored " + lone_debug + " as " + id + " (debug)\n");
    const StoredSymbols stored = SymbolStore(db).Find(id);
    EXPECT_EQ(stored.image_path, "");
    EXPECT_EQ(stored.debug_path, (dir.path() / "symbols" / id / "libVextra64.so.debug").string());

    const CommandResult listed = Symbols({"list", "--db", db});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, id + " debug libVextra64.so.debug symbols/" + id + "/libVextra64.so.debug\n");
  }
  EXPECT_EQ(SymbolStore(db).Find("0123456789abcdef").debug_path, "");
  EXPECT_EQ(SymbolStore((dir.path() / "no-such.db").string()).Find(id).debug_path, "");
}

// Every file that cannot be stored gets an error line naming it and the
// command fails, while the good files of the same run are stored.
TEST(SymbolStoreTest, FilesWithoutIdentityAreRefusedOneByOne) {
  vextra_test::TempDir dir("vextra-symbols");
  const fs::path in = dir.path() / "in";
  fs::create_directories(in / "a-folder");
  WriteFile((in / "empty.dll").string(), "");
  WriteFile((in / "notes.txt").string(), "build 17, shipped on friday\n");
  // A DOS stub whose PE header offset points past the end of the file.
  std::string truncated_pe = "MZ" + std::string(0x3A, '\0') + std::string("\x40\x00\x00\x00", 4) + "PE";
  WriteFile((in / "truncated.dll").string(), truncated_pe);
  const std::string no_id = (in / "libno-build-id.so").string();
  Shell("objcopy --remove-section=.note.gnu.build-id " + Quote(VEXTRA_SHIPPED_LIBRARY) + " " + Quote(no_id));
  ASSERT_TRUE(IsFile(no_id));
  ASSERT_EQ(ElfBuildId(no_id), "");

  const struct {
    const char* file;
    const char* reason;
  } kRefused[] = {
      {"empty.dll", "empty"},
      {"notes.txt", "not a PE or ELF file"},
      {"truncated.dll", "PE header"},
      {"libno-build-id.so", "no GNU build id"},
      {"missing.so", "cannot open"},
      {"a-folder", "not a regular file"},
  };
  const std::string db = (dir.path() / "collector.db").string();
  std::vector<std::string> args = {"add", "--db", db};
  for (const auto& row : kRefused) args.push_back((in / row.file).string());
  args.push_back(VEXTRA_SHIPPED_DEBUG_FILE);
  const CommandResult added = Symbols(args);
  EXPECT_EQ(added.status, 1);
  for (const auto& row : kRefused) {
    SCOPED_TRACE(row.file);
    const std::string line = "error: " + (in / row.file).string() + ": ";
    const size_t at = added.err.find(line);
    ASSERT_NE(at, std::string::npos) << added.err;
    EXPECT_TRUE(Contains(added.err.substr(at, added.err.find('\n', at) - at), row.reason)) << added.err;
  }
  EXPECT_FALSE(SymbolStore(db).Find(ElfBuildId(VEXTRA_SHIPPED_LIBRARY)).debug_path.empty());
}

// The collector program itself answers `symbols ...` before anything else.
TEST(SymbolStoreTest, TheCollectorProgramRunsTheSymbolsCommand) {
  vextra_test::TempDir dir("vextra-symbols");
  const std::string collector = Quote(VEXTRA_COLLECTOR_PATH);
  const std::string db = Quote((dir.path() / "store.db").string());
  const std::string id = ElfBuildId(VEXTRA_SHIPPED_LIBRARY);
  const struct {
    std::string args;
    int status;
    std::string output;
  } kRuns[] = {
      {"symbols add --db " + db + " " + Quote(VEXTRA_SHIPPED_DEBUG_FILE), 0, " as " + id + " (debug)"},
      {"symbols list --db " + db, 0, id + " debug libVextra64.so.debug"},
      {"symbols add --db " + db + " /dev/null", 1, "error: /dev/null: "},
      {"symbols", 2, "usage: vextra-collector symbols add"},
  };
  for (const auto& run : kRuns) {
    SCOPED_TRACE(run.args);
    const std::string output = Shell("cd " + Quote(dir.str()) + " && " + collector + " " + run.args +
                                   " 2>&1; echo \"status $?\"");
    EXPECT_TRUE(Contains(output, run.output)) << output;
    EXPECT_TRUE(Contains(output, "status " + std::to_string(run.status) + "\n")) << output;
  }
}

}  // namespace
}  // namespace collector
