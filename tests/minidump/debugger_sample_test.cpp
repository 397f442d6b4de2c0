// Writes one dump of each flavour as files, for check_lldb_opens_dumps.sh to
// open in LLDB (into $VEXTRA_MINIDUMP_SAMPLE_DIR when set, else a temporary
// directory). The script's expectations name this crash: thread 4242 faulted
// at rip 0x555555555123 with SIGSEGV (Linux) or 0xC0000005 (Windows).

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "minidump/fake_snapshot.h"
#include "minidump/minidump_file_writer.h"
#include "minidump/minidump_reader.h"
#include "support/temp_dir.h"

namespace {

using namespace Vextra::minidump;
using vextra_test::BufferOutput;
using vextra_test::FakeSnapshot;

FakeSnapshot SampleCrash(OsFamily os) {
  const bool windows = os == OsFamily::kWindows;
  FakeSnapshot snapshot;
  ThreadFacts& faulting = snapshot.AddThread(4242, 0x7FFFF0000000, 0x7FFFF0010000, 0x7FFFF000F000);
  faulting.registers.rip = 0x555555555123;
  faulting.registers.rbp = 0x7FFFF000F100;
  faulting.registers.cs = 0x33;
  faulting.registers.ss = 0x2B;
  faulting.registers.eflags = 0x246;
  snapshot.AddThread(4243, 0x7FFFF1000000, 0x7FFFF1010000, 0x7FFFF100FF00).registers.rip = 0x555555555200;
  snapshot.AddThread(4244, 0x7FFFF2000000, 0x7FFFF2010000, 0x7FFFF200FF00).registers_known = false;
  snapshot.AddMemory(0x555555554000, FakeSnapshot::Pattern(3, 0x4000));

  // ELF: signature 0x4270454C, build id 00 01 .. 13. PDB: "RSDS", GUID bytes 10 .. 1f, age 1, name.
  std::string elf("LEpB", 4);
  for (int i = 0; i < 20; ++i) elf += static_cast<char>(i);
  std::string pdb("RSDS", 4);
  for (int i = 0; i < 16; ++i) pdb += static_cast<char>(0x10 + i);
  pdb += std::string("\x01\0\0\0", 4) + std::string("game.pdb", 9);
  snapshot.AddModule(0x555555554000, 0x4000, windows ? "C:\\Games\\game.exe" : "/opt/game/bin/game",
                     windows ? pdb : elf);
  if (windows) {
    snapshot.system().os = OsFamily::kWindows;
    snapshot.system().major_version = 10;
    snapshot.system().minor_version = 0;
    snapshot.system().build_number = 19045;
    snapshot.system().version_text = "";
    snapshot.thread(0).environment_block = 0x7FF5A0000000;
  } else {
    snapshot.AddExtraStream(0x47670004,  // /proc/self/status
                            "Name:\tgame\nPid:\t4242\nPPid:\t1\n", 4096);
    snapshot.AddExtraStream(0x47670009,  // /proc/self/maps
                            "555555554000-555555558000 r-xp 00000000 08:01 1 /opt/game/bin/game\n", 4096);
  }
  snapshot.exception().thread_id = 4242;
  snapshot.exception().code = windows ? 0xC0000005 : 11;
  snapshot.exception().address = 0x10;
  snapshot.exception().registers = faulting.registers;
  return snapshot;
}

TEST(MinidumpDebuggerSample, WritesADumpOfEachFlavour) {
  vextra_test::TempDir temp("vextra-minidump-sample");
  const char* chosen = std::getenv("VEXTRA_MINIDUMP_SAMPLE_DIR");
  const std::string dir = chosen != nullptr ? chosen : temp.str();
  for (OsFamily os : {OsFamily::kLinux, OsFamily::kWindows}) {
    const std::string path = dir + (os == OsFamily::kLinux ? "/linux.dmp" : "/windows.dmp");
    SCOPED_TRACE(path);
    BufferOutput out;
    ASSERT_GT(WriteMinidump(SampleCrash(os), out), 0u);
    {
      std::ofstream file(path, std::ios::binary | std::ios::trunc);
      file << out.File();
    }
    std::ifstream back(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
    const MinidumpContents dump = ReadMinidump(bytes);
    EXPECT_TRUE(dump.Valid());
    EXPECT_EQ(dump.system.platform_id, os == OsFamily::kLinux ? 0x8201u : 2u);
    EXPECT_EQ(dump.exception.rip, 0x555555555123u);
  }
}

}  // namespace
