#include "collector/symbols/module_identity.h"

#include <gtest/gtest.h>

#include <cstring>

#include "collector/symbols/tests/symbol_test_files.h"
#include "minidump/fake_snapshot.h"
#include "minidump/minidump_reader.h"

namespace collector {
namespace {

using symbols_test::Capture;
using symbols_test::ElfBuildId;
using symbols_test::ObjdumpFacts;
using symbols_test::PeFacts;
using symbols_test::Quote;
using symbols_test::ReadFile;
using symbols_test::Shell;
using symbols_test::Upper;
using symbols_test::WindowsBuild;

ModuleIdentity Identify(const std::string& path) {
  ModuleIdentity identity;
  std::string error;
  EXPECT_TRUE(ReadModuleIdentity(path, &identity, &error)) << path << ": " << error;
  return identity;
}

void PutU32(std::string* bytes, size_t offset, uint32_t value) { std::memcpy(&(*bytes)[offset], &value, 4); }
void PutU64(std::string* bytes, size_t offset, uint64_t value) { std::memcpy(&(*bytes)[offset], &value, 8); }
uint32_t GetU32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

// Every PE file our build links carries a CodeView record, and its identity
// reads as the GUID (first three fields as numbers) and age objdump prints.
TEST(ModuleIdentityTest, PeFilesOfOurBuildCarryTheCodeViewIdentityObjdumpShows) {
  const std::string build = WindowsBuild();
  REQUIRE_WINDOWS_FILE(build + "/Vextra64.dll");
  const struct {
    const char* file;
    const char* pdb;
    bool debug_only;
  } kFiles[] = {
      {"Vextra64.dll", "Vextra64.pdb", false},
      {"Vextra64.dll.debug", "Vextra64.pdb", true},
      {"vextra_sample_host.exe", "vextra_sample_host.pdb", false},
      {"tests/crash_host/vextra_crash_host.exe", "vextra_crash_host.pdb", false},
      {"tests/crash_host/vextra_crash_module.dll", "vextra_crash_module.pdb", false},
      {"tests/host/vextra_dll_host.exe", "vextra_dll_host.pdb", false},
  };
  for (const auto& row : kFiles) {
    SCOPED_TRACE(row.file);
    const std::string path = build + "/" + row.file;
    REQUIRE_WINDOWS_FILE(path);
    const ObjdumpFacts facts = PeFacts(path);
    ASSERT_EQ(facts.signature.size(), 32u) << "objdump shows no RSDS record";
    char age[16];
    std::snprintf(age, sizeof(age), "%X", facts.age);
    const ModuleIdentity identity = Identify(path);
    EXPECT_EQ(identity.format, ModuleFormat::kPe);
    EXPECT_EQ(identity.debug_id, Upper(facts.signature) + age);
    EXPECT_EQ(identity.pdb_name, row.pdb);
    EXPECT_EQ(identity.pdb_name, facts.pdb);
    EXPECT_EQ(identity.machine, 0x8664);
    EXPECT_EQ(identity.image_base, facts.image_base);
    EXPECT_EQ(identity.debug_only, row.debug_only);
  }
}

// The shipped DLL is stripped and names its debug file, which keeps the
// same identity and the DWARF the symboliser reads.
TEST(ModuleIdentityTest, ShippedLibrariesAndTheirDebugFilesAgree) {
  const std::string build = WindowsBuild();
  const struct {
    std::string image, debug, link_name;
    bool windows;
  } kPairs[] = {
      {VEXTRA_SHIPPED_LIBRARY, VEXTRA_SHIPPED_DEBUG_FILE, "libVextra64.so.debug", false},
      {build + "/Vextra64.dll", build + "/Vextra64.dll.debug", "Vextra64.dll.debug", true},
  };
  for (const auto& pair : kPairs) {
    SCOPED_TRACE(pair.image);
    if (pair.windows) REQUIRE_WINDOWS_FILE(pair.image);
    const ModuleIdentity image = Identify(pair.image);
    const ModuleIdentity debug = Identify(pair.debug);
    EXPECT_FALSE(image.debug_id.empty());
    EXPECT_EQ(debug.debug_id, image.debug_id);
    EXPECT_TRUE(image.has_debuglink);
    EXPECT_EQ(image.debuglink_name, pair.link_name);
    EXPECT_EQ(image.debuglink_crc, DebugLinkCrc(ReadFile(pair.debug)));
    EXPECT_FALSE(image.debug_only);
    EXPECT_FALSE(image.has_debug_info);
    EXPECT_TRUE(debug.debug_only);
    EXPECT_TRUE(debug.has_debug_info);
    EXPECT_FALSE(debug.has_debuglink);
    if (!pair.windows) {
      EXPECT_EQ(image.debug_id, ElfBuildId(pair.image));
      EXPECT_EQ(image.format, ModuleFormat::kElf);
      EXPECT_EQ(image.machine, 62);  // x86-64
      EXPECT_TRUE(image.has_eh_frame);
      EXPECT_FALSE(debug.has_eh_frame);  // the debug file keeps no code or unwind bytes
      const std::string first_load =
          Capture(Shell("readelf -lW " + Quote(pair.image)), "LOAD +0x[0-9a-f]+ 0x([0-9a-f]+)");
      EXPECT_EQ(image.first_load_vaddr, std::stoull(first_load, nullptr, 16));
    }
  }
}

// The key the store files a module under is the one our minidump reader gives
// that module in a dump: its CodeView record copied into a dump as a writer
// stores it.
TEST(ModuleIdentityTest, TheDumpReaderNamesModulesByTheSameIdentity) {
  const std::string build = WindowsBuild();
  const std::string dll = build + "/Vextra64.dll";
  REQUIRE_WINDOWS_FILE(dll);
  const ObjdumpFacts facts = PeFacts(dll);
  const std::string dll_bytes = ReadFile(dll);
  ASSERT_GT(facts.record_size, 24u);
  ASSERT_LE(facts.record_offset + facts.record_size, dll_bytes.size());
  const std::string rsds = dll_bytes.substr(facts.record_offset, facts.record_size);

  std::string build_id_bytes;
  const std::string build_id = ElfBuildId(VEXTRA_SHIPPED_LIBRARY);
  for (size_t i = 0; i + 1 < build_id.size(); i += 2) {
    build_id_bytes += static_cast<char>(std::stoi(build_id.substr(i, 2), nullptr, 16));
  }

  vextra_test::FakeSnapshot snapshot;
  snapshot.AddModule(0x7FF600000000, 0x1000000, "C:\\game\\Vextra64.dll", rsds);
  snapshot.AddModule(0x7F0000000000, 0x200000, "/opt/game/libVextra64.so", "LEpB" + build_id_bytes);  // the "BpEL" signature as a little-endian number
  vextra_test::BufferOutput out;
  ASSERT_GT(Vextra::minidump::WriteMinidump(snapshot, out), 0u);
  const Vextra::minidump::MinidumpContents dump = Vextra::minidump::ReadMinidump(out.File());
  ASSERT_EQ(dump.modules.size(), 2u);

  const ModuleIdentity pe = Identify(dll);
  EXPECT_EQ(dump.modules[0].debug_id, pe.debug_id);
  EXPECT_EQ(dump.modules[0].debug_file, pe.pdb_name);
  EXPECT_EQ(dump.modules[1].debug_id, Identify(VEXTRA_SHIPPED_LIBRARY).debug_id);
}

// A file whose sizes and offsets point outside it is refused with a reason,
// never read beyond its end.
TEST(ModuleIdentityTest, MalformedElfFilesAreRefused) {
  const std::string so = ReadFile(VEXTRA_SHIPPED_LIBRARY);
  ASSERT_GT(so.size(), 4096u);
  uint64_t section_headers = 0;
  std::memcpy(&section_headers, so.data() + 40, 8);

  std::string class32 = so;
  class32[4] = 1;
  std::string far_sections = so;
  PutU64(&far_sections, 40, so.size() - 16);
  std::string far_programs = so;
  PutU64(&far_programs, 32, uint64_t{1} << 62);
  std::string huge_count = so;
  PutU32(&huge_count, 60, 0xFFFF);  // e_shnum 65535 and the string table index after it

  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } kCases[] = {
      {"empty", "", "empty"},
      {"text", "just some text\nin a file\n", "not a PE or ELF"},
      {"header cut short", so.substr(0, 40), "ELF header is cut short"},
      {"32-bit", class32, "64-bit little-endian"},
      {"section headers past the end", far_sections, "section headers"},
      {"program headers past the end", far_programs, "program headers"},
      {"too many section headers", huge_count, "section headers"},
      {"section headers cut off", so.substr(0, section_headers + 100), "section headers"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    ModuleIdentity identity;
    std::string error;
    EXPECT_FALSE(ParseModuleIdentity(row.bytes, &identity, &error));
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
  }
}

TEST(ModuleIdentityTest, MalformedPeFilesAreRefused) {
  const std::string build = WindowsBuild();
  REQUIRE_WINDOWS_FILE(build + "/Vextra64.dll");
  const std::string dll = ReadFile(build + "/Vextra64.dll");
  const uint32_t pe = GetU32(dll, 0x3C);
  const size_t optional = pe + 24;
  const size_t debug_directory = optional + 112 + 6 * 8;
  const size_t first_section = optional + (static_cast<uint8_t>(dll[pe + 20]) | static_cast<uint8_t>(dll[pe + 21]) << 8);

  std::string far_header = dll;
  PutU32(&far_header, 0x3C, 0xFFFFFFF0);
  std::string bad_magic = dll;
  bad_magic[optional] = 0x55;
  std::string debug_outside = dll;
  PutU32(&debug_outside, debug_directory, 0x7FFFFFF0);
  std::string many_sections = dll;
  many_sections[pe + 6] = static_cast<char>(0xFF);
  many_sections[pe + 7] = static_cast<char>(0xFF);

  // The CodeView record's own offsets made to point past the end.
  std::string record_outside = dll;
  {
    const ObjdumpFacts facts = PeFacts(build + "/Vextra64.dll");
    ASSERT_GT(facts.record_offset, 28u);
    const size_t entry = facts.record_offset - 28;  // the record follows the only directory entry
    ASSERT_EQ(GetU32(dll, entry + 12), 2u);         // a CodeView entry
    PutU32(&record_outside, entry + 20, 0x7FFFFFF0);
    PutU32(&record_outside, entry + 24, 0xFFFFFFF0);
  }

  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } kCases[] = {
      {"DOS header only", dll.substr(0, 0x40), "PE header"},
      {"PE header past the end", far_header, "PE header"},
      {"cut inside the optional header", dll.substr(0, optional + 40), "optional header"},
      {"unknown optional header", bad_magic, "magic"},
      {"cut inside the section table", dll.substr(0, first_section + 60), "section table"},
      {"65535 sections", many_sections, "sections"},
      {"debug directory outside the sections", debug_outside, "debug directory"},
      {"CodeView record past the end", record_outside, "CodeView record"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    ModuleIdentity identity;
    std::string error;
    EXPECT_FALSE(ParseModuleIdentity(row.bytes, &identity, &error));
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace collector
