#pragma once
// Minidumps written by the library's own writer for the collector's tests: a
// Windows game that faulted in its own code or inside the reporter's DLL.

#include <cstdint>
#include <string>

#include "minidump/fake_snapshot.h"
#include "minidump/minidump_file_writer.h"

namespace collector_test {

inline std::string Le32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// A CodeView "RSDS" record: GUID bytes from seed, age 1, the PDB name.
inline std::string PdbRecord(unsigned char seed, const std::string& pdb) {
  std::string guid(16, '\0');
  for (int i = 0; i < 16; ++i) guid[i] = static_cast<char>(seed + i);
  return "RSDS" + guid + Le32(1) + pdb + std::string(1, '\0');
}

struct SampleCrash {
  uint64_t gameBase = 0x140000000;  // where game.exe is loaded
  uint64_t dllBase = 0x7FF8A0000000;  // where Vextra64.dll is loaded
  bool inDll = false;                 // the fault is inside Vextra64.dll
  uint64_t offset = 0x1234;           // the fault's offset in its module
  uint32_t code = 0xC0000005;
};

// A dump of two threads (7 faulted at the module offset, 8 waits in game.exe)
// and the modules game.exe and Vextra64.dll.
inline std::string WriteSampleDump(const SampleCrash& crash) {
  using namespace Vextra::minidump;
  vextra_test::FakeSnapshot snapshot;
  snapshot.system().os = OsFamily::kWindows;
  snapshot.system().major_version = 10;
  snapshot.system().build_number = 19045;
  const uint64_t pc = (crash.inDll ? crash.dllBase : crash.gameBase) + crash.offset;
  ThreadFacts& faulting = snapshot.AddThread(7, 0x10000, 0x20000, 0x1F000);
  faulting.registers.rip = pc;
  ThreadFacts& waiting = snapshot.AddThread(8, 0x30000, 0x40000, 0x3F000);
  waiting.registers.rip = crash.gameBase + 0x2000;
  snapshot.AddModule(crash.gameBase, 0x100000, "C:\\Games\\Demo\\game.exe", PdbRecord(0x10, "game.pdb"));
  snapshot.AddModule(crash.dllBase, 0x200000, "C:\\Games\\Demo\\Vextra64.dll", PdbRecord(0x40, "Vextra64.pdb"));
  ExceptionFacts& exception = snapshot.exception();
  exception.thread_id = 7;
  exception.code = crash.code;
  exception.address = pc;
  exception.registers = faulting.registers;
  vextra_test::BufferOutput out;
  const uint64_t size = WriteMinidump(snapshot, out);
  return size == 0 ? std::string() : out.File();
}

// The debug id the reader gives game.exe's record above: GUID 10 11 .. 1F
// as a Windows GUID in uppercase hex, then the age.
inline std::string GameDebugId() { return "131211101514171618191A1B1C1D1E1F1"; }

}  // namespace collector_test
