#include "collector/symbols/symbolizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "collector/symbols/tests/symbol_test_files.h"
#include "support/temp_dir.h"

namespace collector {
namespace {

namespace fs = std::filesystem;
using symbols_test::Capture;
using symbols_test::PeFacts;
using symbols_test::Quote;
using symbols_test::ReadFile;
using symbols_test::Shell;
using symbols_test::SymbolAddress;
using symbols_test::WindowsBuild;
using symbols_test::WriteFile;

// The line of our source that defines `signature`, 0 when none does.
int SourceLine(const std::string& relative_path, const std::string& signature) {
  std::ifstream in(std::string(VEXTRA_SOURCE_DIR) + "/" + relative_path);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.rfind(signature, 0) == 0) return number;
  }
  return 0;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A known export of the shipped library, looked up in each of its files by
// module offset (its address in the symbol table less what the module's load
// address corresponds to), with an offset inside the headers, where no
// function is, between two functions in the same run.
void CheckNamesKnownFunctions(const std::vector<std::string>& files, const std::string& nm, const std::string& symbols_file,
                              uint64_t load_base) {
  const int expected_line = SourceLine("src/api/exports_identity.cpp", "void VX_SetUserId(");
  ASSERT_GT(expected_line, 0);
  const uint64_t set_user_id = SymbolAddress(nm, symbols_file, "VX_SetUserId");
  const uint64_t set_app_version = SymbolAddress(nm, symbols_file, "VX_SetAppVersion");
  ASSERT_GT(set_user_id, load_base);
  ASSERT_GT(set_app_version, load_base);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string error;
    const std::vector<SymbolizedLocation> found =
        Symbolizer().Lookup(file, {set_user_id - load_base, 0x10, set_app_version - load_base}, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].function, "VX_SetUserId");
    EXPECT_TRUE(EndsWith(found[0].file, "src/api/exports_identity.cpp")) << found[0].file;
    EXPECT_EQ(found[0].line, expected_line);
    EXPECT_EQ(found[1].function, "");
    EXPECT_EQ(found[1].file, "");
    EXPECT_EQ(found[1].line, 0);
    EXPECT_EQ(found[2].function, "VX_SetAppVersion");
    EXPECT_GT(found[2].line, 0);
  }
}

TEST(SymbolizerTest, NamesFunctionsOfTheLinuxLibraryWithFileAndLine) {
  // A shared library's first loadable segment starts its mapping.
  const std::string first_load =
      Capture(Shell("readelf -lW " + Quote(VEXTRA_SHIPPED_LIBRARY)), "LOAD +0x[0-9a-f]+ 0x([0-9a-f]+)");
  ASSERT_FALSE(first_load.empty());
  const uint64_t base = std::stoull(first_load, nullptr, 16) & ~uint64_t{0xFFF};
  CheckNamesKnownFunctions({VEXTRA_SHIPPED_DEBUG_FILE, VEXTRA_SHIPPED_LIBRARY}, "nm", VEXTRA_SHIPPED_DEBUG_FILE, base);
}

TEST(SymbolizerTest, NamesFunctionsOfTheDllWithFileAndLine) {
  const std::string dll = WindowsBuild() + "/Vextra64.dll";
  REQUIRE_WINDOWS_FILE(dll);
  REQUIRE_WINDOWS_FILE(dll + ".debug");
  // Module offsets of a PE file are relative to its image base.
  CheckNamesKnownFunctions({dll + ".debug", dll}, "x86_64-w64-mingw32-nm", dll + ".debug", PeFacts(dll).image_base);
}

// COFF lists each section as a symbol at its start (".text"): the function
// that starts there is named, not the section.
TEST(SymbolizerTest, TheFunctionAtTheStartOfTheDllsCodeIsNamedNotItsSection) {
  const std::string dll = WindowsBuild() + "/Vextra64.dll";
  REQUIRE_WINDOWS_FILE(dll + ".debug");
  const std::string listing = Shell("x86_64-w64-mingw32-nm -n " + Quote(dll + ".debug"));
  const std::string text_start = Capture(listing, "([0-9a-f]+) t \\.text\n");
  ASSERT_FALSE(text_start.empty()) << "no .text symbol in the listing";
  const std::string first_function = Capture(listing, text_start + " [tT] ([^.][^\n]*)\n");
  ASSERT_FALSE(first_function.empty()) << "no function at the start of .text";
  std::string error;
  const std::vector<SymbolizedLocation> found = Symbolizer().Lookup(
      dll + ".debug", {std::stoull(text_start, nullptr, 16) - PeFacts(dll).image_base}, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].function, first_function);
}

// The same offset gets the same answer whatever was asked before it, even
// inside inlined code (binutils names an inlined function differently on a
// first and a later lookup when asked for a single level). Crash groups are
// keyed by these names, so an answer that depended on the order would split
// one crash into several groups.
TEST(SymbolizerTest, AnOffsetGetsTheSameAnswerWhateverWasAskedBefore) {
  const std::string first_load =
      Capture(Shell("readelf -lW " + Quote(VEXTRA_SHIPPED_LIBRARY)), "LOAD +0x[0-9a-f]+ 0x([0-9a-f]+)");
  ASSERT_FALSE(first_load.empty());
  const uint64_t base = std::stoull(first_load, nullptr, 16) & ~uint64_t{0xFFF};
  const uint64_t start = SymbolAddress("nm", VEXTRA_SHIPPED_DEBUG_FILE, "VX_SetUserId") - base;
  // Offsets every 3 bytes over 6 KiB of code from there: many land in inlined code.
  std::vector<uint64_t> forward;
  for (uint64_t offset = start; offset < start + 6144; offset += 3) forward.push_back(offset);
  const std::vector<uint64_t> backward(forward.rbegin(), forward.rend());

  Symbolizer one_child;
  std::string error;
  const std::vector<SymbolizedLocation> in_order = one_child.Lookup(VEXTRA_SHIPPED_DEBUG_FILE, forward, &error);
  ASSERT_EQ(error, "");
  const std::vector<SymbolizedLocation> reversed = one_child.Lookup(VEXTRA_SHIPPED_DEBUG_FILE, backward, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(in_order.size(), forward.size());
  ASSERT_EQ(reversed.size(), forward.size());
  int named = 0;
  for (size_t i = 0; i < forward.size(); ++i) {
    const SymbolizedLocation& a = in_order[i];
    const SymbolizedLocation& b = reversed[forward.size() - 1 - i];
    EXPECT_EQ(a.function, b.function) << "offset 0x" << std::hex << forward[i];
    EXPECT_EQ(a.line, b.line) << "offset 0x" << std::hex << forward[i];
    named += a.function.empty() ? 0 : 1;
  }
  EXPECT_GT(named, static_cast<int>(forward.size() / 2));
  // And alone, in a child that was asked nothing before.
  for (size_t i = 0; i < forward.size(); i += 97) {
    Symbolizer alone;
    const std::vector<SymbolizedLocation> single = alone.Lookup(VEXTRA_SHIPPED_DEBUG_FILE, {forward[i]}, &error);
    ASSERT_EQ(single.size(), 1u) << error;
    EXPECT_EQ(single[0].function, in_order[i].function) << "offset 0x" << std::hex << forward[i];
  }
}

TEST(SymbolizerTest, ReadsAddr2LineLocations) {
  const struct {
    const char* function_line;
    const char* file_line;
    SymbolizedLocation expected;
  } kCases[] = {
      {"??", "??:0", {"", "", 0}},
      {"??", "??:?", {"", "", 0}},
      {"Vextra::SendException(int)", "/src/crash/send_exception.cpp:120", {"Vextra::SendException(int)", "/src/crash/send_exception.cpp", 120}},
      {"main", "sample_host.cpp:48 (discriminator 3)", {"main", "sample_host.cpp", 48}},
      {"WinMain", "C:/game/src/main.cpp:7", {"WinMain", "C:/game/src/main.cpp", 7}},
      {"helper", "/src/x.cpp:?", {"helper", "/src/x.cpp", 0}},
      {"helper", "/src/x.cpp:99999999999999", {"helper", "/src/x.cpp", 0}},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(std::string(row.function_line) + " / " + row.file_line);
    const SymbolizedLocation location = ParseAddr2LineLocation(row.function_line, row.file_line);
    EXPECT_EQ(location.function, row.expected.function);
    EXPECT_EQ(location.file, row.expected.file);
    EXPECT_EQ(location.line, row.expected.line);
  }
}

// Files that are not modules, and tools that fail, hang, flood their output
// or answer out of turn, end in an error within the timeout, never in a hang.
TEST(SymbolizerTest, FailuresEndInAnErrorNotAHang) {
  vextra_test::TempDir dir("vextra-symbolizer");
  const std::string text = (dir.path() / "notes.txt").string();
  WriteFile(text, "not a module\n");
  const std::string empty = (dir.path() / "empty.so").string();
  WriteFile(empty, "");
  const std::string hang = (dir.path() / "hang.sh").string();
  WriteFile(hang, "#!/bin/sh\nexec sleep 60\n");
  fs::permissions(hang, fs::perms::owner_all);
  const std::string flood = (dir.path() / "flood.sh").string();
  WriteFile(flood, "#!/bin/sh\nexec cat /dev/zero\n");
  fs::permissions(flood, fs::perms::owner_all);
  const std::string chatter = (dir.path() / "chatter.sh").string();
  WriteFile(chatter, "#!/bin/sh\nexec yes chatter\n");
  fs::permissions(chatter, fs::perms::owner_all);

  SymbolizerOptions hanging;
  hanging.elf_tool = hang;
  hanging.timeout_ms = 300;
  SymbolizerOptions flooding;
  flooding.elf_tool = flood;
  flooding.max_output_bytes = 1 << 20;
  SymbolizerOptions chattering;
  chattering.elf_tool = chatter;
  SymbolizerOptions failing;
  failing.elf_tool = "false";
  SymbolizerOptions missing;
  missing.elf_tool = (dir.path() / "no-such-tool").string();

  const struct {
    const char* name;
    std::string file;
    SymbolizerOptions options;
    const char* reason;
  } kCases[] = {
      {"text file", text, {}, "not a PE or ELF"},
      {"empty file", empty, {}, "empty"},
      {"missing file", (dir.path() / "gone.so").string(), {}, "cannot open"},
      {"tool that hangs", VEXTRA_SHIPPED_DEBUG_FILE, hanging, "did not answer in time"},
      {"tool that floods", VEXTRA_SHIPPED_DEBUG_FILE, flooding, "wrote more than 1048576 bytes"},
      {"tool that answers out of turn", VEXTRA_SHIPPED_DEBUG_FILE, chattering, "answered out of turn"},
      {"tool that fails", VEXTRA_SHIPPED_DEBUG_FILE, failing, "failed"},
      {"tool that is missing", VEXTRA_SHIPPED_DEBUG_FILE, missing, "cannot run"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    const std::vector<SymbolizedLocation> found = Symbolizer(row.options).Lookup(row.file, {0x1000, 0x2000}, &error);
    EXPECT_TRUE(found.empty());
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
}

// A debug file whose DWARF is garbage: the child may complain or find
// nothing, but the lookup comes back.
TEST(SymbolizerTest, GarbageDebugInformationComesBackAsAnErrorOrNothing) {
  vextra_test::TempDir dir("vextra-symbolizer");
  std::string bytes = ReadFile(VEXTRA_SHIPPED_DEBUG_FILE);
  const std::string at = Capture(Shell("readelf -SW " + Quote(VEXTRA_SHIPPED_DEBUG_FILE)),
                                 "\\.debug_info +PROGBITS +[0-9a-f]+ ([0-9a-f]+)");
  const std::string size = Capture(Shell("readelf -SW " + Quote(VEXTRA_SHIPPED_DEBUG_FILE)),
                                   "\\.debug_info +PROGBITS +[0-9a-f]+ [0-9a-f]+ ([0-9a-f]+)");
  ASSERT_FALSE(at.empty());
  const size_t offset = std::stoull(at, nullptr, 16);
  const size_t length = std::min<size_t>(std::stoull(size, nullptr, 16), 1 << 20);
  for (size_t i = 0; i < length; ++i) bytes[offset + i] = static_cast<char>(0xFF ^ (i * 13));
  const std::string hostile = (dir.path() / "hostile.debug").string();
  WriteFile(hostile, bytes);
  const uint64_t set_user_id = SymbolAddress("nm", VEXTRA_SHIPPED_DEBUG_FILE, "VX_SetUserId");

  std::string error;
  const std::vector<SymbolizedLocation> found = Symbolizer().Lookup(hostile, {set_user_id}, &error);
  EXPECT_EQ(found.size(), error.empty() ? 1u : 0u) << error;
}

}  // namespace
}  // namespace collector

namespace collector {
namespace {

// Lookups reuse a file's running child: answers stay right across files
// taking turns (more files than children kept) and when the file at a path
// is replaced by another, the child for the old file is not asked.
TEST(SymbolizerTest, RunningChildrenAnswerForTheFileNowAtTheirPath) {
  vextra_test::TempDir dir("vextra-symbolizer");
  const std::string replaced = (dir.path() / "module.debug").string();
  WriteFile(replaced, ReadFile(VEXTRA_SHIPPED_DEBUG_FILE));
  const uint64_t set_user_id = SymbolAddress("nm", VEXTRA_SHIPPED_DEBUG_FILE, "VX_SetUserId");
  ASSERT_GT(set_user_id, 0u);

  SymbolizerOptions one_child;
  one_child.max_children = 1;
  Symbolizer symbolizer(one_child);
  const auto function_at = [&](const std::string& path) {
    std::string error;
    const std::vector<SymbolizedLocation> found = symbolizer.Lookup(path, {set_user_id}, &error);
    EXPECT_EQ(error, "") << path;
    return found.size() == 1 ? found[0].function : "(no answer)";
  };
  const struct {
    std::string path;
    bool replace_first;
    bool is_library;
  } kSteps[] = {
      {replaced, false, true},
      {VEXTRA_SHIPPED_LIBRARY, false, true},
      {replaced, false, true},
      {replaced, false, true},
      {replaced, true, false},  // now another program's file at that path
      {VEXTRA_SHIPPED_DEBUG_FILE, false, true},
  };
  int step = 0;
  for (const auto& row : kSteps) {
    SCOPED_TRACE("step " + std::to_string(step++) + ": " + row.path);
    if (row.replace_first) {
      const std::string next = replaced + ".new";
      WriteFile(next, ReadFile(VEXTRA_COLLECTOR_PATH));
      fs::rename(next, replaced);
    }
    if (row.is_library) {
      EXPECT_EQ(function_at(row.path), "VX_SetUserId");
    } else {
      EXPECT_NE(function_at(row.path), "VX_SetUserId");
    }
  }
}

}  // namespace
}  // namespace collector
