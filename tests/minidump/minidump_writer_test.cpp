// The minidump writer against a snapshot made in the test, read back with
// the library's own reader: what goes in comes out where the format puts it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "minidump/minidump_file_writer.h"
#include "minidump/minidump_reader.h"
#include "minidump/fake_snapshot.h"

namespace {

using namespace Vextra::minidump;
using vextra_test::BufferOutput;
using vextra_test::FakeSnapshot;

constexpr uint64_t kStackLow = 0x7F0000010000;
constexpr uint64_t kStackHigh = 0x7F0000020000;
constexpr uint64_t kCodeBase = 0x555500001000;

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

std::string Le32(uint32_t value) {
  return Bytes({int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF), int(value >> 24)});
}

uint32_t Le32At(const std::string& file, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, &file[offset], 4);
  return value;
}

// The ELF record: its signature 0x4270454C ("BpEL") and a 20-byte build id.
const std::string kElfRecord =
    Le32(0x4270454C) + Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff,
                    0x10, 0x20, 0x30, 0x40});

// "RSDS", GUID {12345678-9ABC-DEF0-0123-456789ABCDEF} as stored, age 2, name.
const std::string kPdbRecord =
    "RSDS" +
    Bytes({0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}) + Le32(2) +
    std::string("game.pdb", 9);

// A crashed process of three threads: 101 faulted (SIGSEGV at 0x10), 102
// waits, 103 could not be stopped in time.
FakeSnapshot CrashedProcess() {
  FakeSnapshot snapshot;
  ThreadFacts& faulting = snapshot.AddThread(101, kStackLow, kStackHigh, kStackLow + 0x8000);
  faulting.registers.rip = kCodeBase + 0x234;
  faulting.registers.has_fxsave = true;
  faulting.registers.mxcsr = 0x1F80;
  faulting.registers.fxsave[160] = 0x5A;  // xmm0's first byte
  snapshot.AddThread(102, kStackLow + 0x100000, kStackHigh + 0x100000, kStackHigh + 0x100000 - 0x300);
  ThreadFacts& stopped = snapshot.AddThread(103, kStackLow + 0x200000, kStackHigh + 0x200000, kStackHigh + 0x200000 - 0x300);
  stopped.registers_known = false;
  snapshot.AddMemory(kCodeBase, FakeSnapshot::Pattern(9, 0x1000));

  snapshot.AddModule(kCodeBase - 0x1000, 0x5000, "/opt/game/bin/game", kElfRecord);
  snapshot.AddModule(0x7F1000000000, 0x200000, "/opt/jeu/bibliothèque-\xF0\x9F\x98\x80.so", "");

  ExceptionFacts& exception = snapshot.exception();
  exception.thread_id = 101;
  exception.code = 11;
  exception.flags = 1;
  exception.address = 0x10;
  exception.parameter_count = 2;
  exception.parameters[0] = 0xAA;
  exception.parameters[1] = 0xBB;
  exception.registers = faulting.registers;
  return snapshot;
}

struct Written {
  uint64_t size = 0;
  std::string file;
  MinidumpContents dump;
};

Written WriteAndRead(const ProcessSnapshot& snapshot, const DumpLimits& limits = DumpLimits()) {
  BufferOutput out;
  Written written;
  written.size = WriteMinidump(snapshot, out, limits);
  written.file = out.File();
  written.dump = ReadMinidump(written.file);
  return written;
}

std::string Problems(const MinidumpContents& dump) {
  std::string text;
  for (const auto& problem : dump.problems) text += problem + "\n";
  return text;
}

const DumpThread* FindThread(const MinidumpContents& dump, uint32_t id) {
  for (const auto& thread : dump.threads) {
    if (thread.thread_id == id) return &thread;
  }
  return nullptr;
}

TEST(MinidumpWriter, LinuxDumpReadsBackWithEveryStream) {
  FakeSnapshot snapshot = CrashedProcess();
  snapshot.AddExtraStream(0x47670009, "55550000-55556000 r-xp 00000000 08:01 42 /opt/game/bin/game\n", 4096);
  const Written written = WriteAndRead(snapshot);
  ASSERT_GT(written.size, 0u);
  EXPECT_EQ(written.size, written.file.size());
  const MinidumpContents& dump = written.dump;
  ASSERT_TRUE(dump.Valid()) << Problems(dump);
  EXPECT_EQ(written.file.substr(0, 4), "MDMP");

  EXPECT_TRUE(dump.system.present);
  EXPECT_EQ(dump.system.processor_architecture, 9);
  EXPECT_EQ(dump.system.platform_id, 0x8201u);
  EXPECT_EQ(dump.system.cpu_count, 8u);
  EXPECT_EQ(dump.system.major_version, 6u);
  EXPECT_EQ(dump.system.minor_version, 1u);
  EXPECT_EQ(dump.system.version_text, "Linux 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC x86_64");

  ASSERT_EQ(dump.threads.size(), 3u);
  const DumpThread* faulting = FindThread(dump, 101);
  ASSERT_NE(faulting, nullptr);
  EXPECT_TRUE(faulting->has_registers);
  EXPECT_EQ(faulting->rip, kCodeBase + 0x234);
  EXPECT_EQ(faulting->rsp, kStackLow + 0x8000);
  EXPECT_EQ(faulting->rbp, kStackLow + 0x8040);
  EXPECT_EQ(faulting->rax, 0xA0A0000000000000ULL + 101);
  // control, integer, segments and floating point of the x86-64 context
  EXPECT_EQ(faulting->context_flags, 0x0010000Fu);
  // The stack from the red zone below rsp to the top, as the process held it.
  EXPECT_EQ(faulting->stack_start, kStackLow + 0x8000 - 128);
  EXPECT_EQ(faulting->stack, FakeSnapshot::Pattern(101, 0x10000).substr(0x8000 - 128));

  const DumpThread* waiting = FindThread(dump, 102);
  ASSERT_NE(waiting, nullptr);
  EXPECT_EQ(waiting->stack_size, 0x300u + 128);
  const DumpThread* stopped = FindThread(dump, 103);
  ASSERT_NE(stopped, nullptr);
  EXPECT_FALSE(stopped->has_registers);
  EXPECT_EQ(stopped->stack_size, 0u);

  ASSERT_EQ(dump.modules.size(), 2u);
  EXPECT_EQ(dump.modules[0].name, "/opt/game/bin/game");
  EXPECT_EQ(dump.modules[0].base, kCodeBase - 0x1000);
  EXPECT_EQ(dump.modules[0].size, 0x5000u);
  EXPECT_EQ(dump.modules[0].codeview_signature, 0x4270454Cu);
  EXPECT_EQ(dump.modules[0].debug_id, "00112233445566778899aabbccddeeff10203040");
  EXPECT_EQ(dump.modules[1].name, "/opt/jeu/bibliothèque-\xF0\x9F\x98\x80.so");
  EXPECT_EQ(dump.modules[1].debug_id, "");

  ASSERT_TRUE(dump.exception.present);
  EXPECT_EQ(dump.exception.thread_id, 101u);
  EXPECT_EQ(dump.exception.code, 11u);
  EXPECT_EQ(dump.exception.flags, 1u);
  EXPECT_EQ(dump.exception.address, 0x10u);
  EXPECT_EQ(dump.exception.parameters, (std::vector<uint64_t>{0xAA, 0xBB}));
  EXPECT_TRUE(dump.exception.has_registers);
  EXPECT_EQ(dump.exception.rip, kCodeBase + 0x234);

  // Two stacks and the code around rip from the start of its page (the page
  // below does not read); the page at 0x10 reads nothing.
  ASSERT_EQ(dump.memory.size(), 3u);
  EXPECT_EQ(dump.MemoryAt(written.file, kCodeBase, 0x234 + 1024), FakeSnapshot::Pattern(9, 0x1000).substr(0, 0x234 + 1024));
  EXPECT_EQ(dump.MemoryAt(written.file, kCodeBase - 1, 1), "");
  ASSERT_EQ(dump.other_streams.count(0x47670009), 1u);
  EXPECT_EQ(dump.other_streams.at(0x47670009), "55550000-55556000 r-xp 00000000 08:01 42 /opt/game/bin/game\n");
}

TEST(MinidumpWriter, ContextRecordHoldsRegistersAtTheirOffsets) {
  FakeSnapshot snapshot = CrashedProcess();
  const Written written = WriteAndRead(snapshot);
  ASSERT_TRUE(written.dump.Valid()) << Problems(written.dump);
  // Find the exception stream's context through the directory.
  uint32_t count = 0, directory = 0;
  std::memcpy(&count, &written.file[8], 4);
  std::memcpy(&directory, &written.file[12], 4);
  uint32_t context_rva = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t type = 0, rva = 0;
    std::memcpy(&type, &written.file[directory + i * 12], 4);
    std::memcpy(&rva, &written.file[directory + i * 12 + 8], 4);
    if (type == 6) std::memcpy(&context_rva, &written.file[rva + 164], 4);
  }
  ASSERT_NE(context_rva, 0u);
  auto at = [&](size_t offset, size_t size) {
    uint64_t value = 0;
    std::memcpy(&value, &written.file[context_rva + offset], size);
    return value;
  };
  EXPECT_EQ(at(0x30, 4), 0x0010000Fu);                    // context flags
  EXPECT_EQ(at(0x34, 4), 0x1F80u);                        // mxcsr
  EXPECT_EQ(at(0x78, 8), 0xA0A0000000000000ULL + 101);    // rax
  EXPECT_EQ(at(0x98, 8), kStackLow + 0x8000);             // rsp
  EXPECT_EQ(at(0xA0, 8), kStackLow + 0x8040);             // rbp
  EXPECT_EQ(at(0xF8, 8), kCodeBase + 0x234);              // rip
  EXPECT_EQ(at(0x100 + 160, 1), 0x5Au);                   // xmm0 in the FXSAVE area
}

TEST(MinidumpWriter, WindowsDumpCarriesPlatformTebVersionAndPdbRecord) {
  FakeSnapshot snapshot = CrashedProcess();
  snapshot.system().os = OsFamily::kWindows;
  snapshot.system().major_version = 10;
  snapshot.system().minor_version = 0;
  snapshot.system().build_number = 19045;
  snapshot.system().version_text = "Service Pack 1";
  snapshot.thread(0).environment_block = 0x7FF6A0001000;
  ModuleFacts& module = snapshot.AddModule(0x140000000, 0x30000, "C:\\Games\\game.exe", kPdbRecord);
  module.file_version_ms = 0x00010002;
  module.file_version_ls = 0x00030004;
  const Written written = WriteAndRead(snapshot);
  const MinidumpContents& dump = written.dump;
  ASSERT_TRUE(dump.Valid()) << Problems(dump);
  EXPECT_EQ(dump.system.platform_id, 2u);
  EXPECT_EQ(dump.system.build_number, 19045u);
  EXPECT_EQ(dump.system.version_text, "Service Pack 1");
  ASSERT_NE(FindThread(dump, 101), nullptr);
  EXPECT_EQ(FindThread(dump, 101)->teb, 0x7FF6A0001000u);
  ASSERT_EQ(dump.modules.size(), 3u);
  EXPECT_EQ(dump.modules[2].name, "C:\\Games\\game.exe");
  EXPECT_EQ(dump.modules[2].codeview_signature, 0x53445352u);
  EXPECT_EQ(dump.modules[2].debug_id, "123456789ABCDEF00123456789ABCDEF2");
  EXPECT_EQ(dump.modules[2].debug_file, "game.pdb");
  EXPECT_EQ(dump.modules[2].file_version_ms, 0x00010002u);
  EXPECT_EQ(dump.modules[2].file_version_ls, 0x00030004u);
}

TEST(MinidumpWriter, StacksAreBoundedFromBelowTheStackPointer) {
  constexpr uint64_t kLow = 0x10000, kHigh = 0x20000;
  static constexpr struct {
    const char* name;
    uint64_t sp;
    bool faulting;
    uint32_t max_stack, faulting_stack;
    uint64_t readable;  // bytes from the bottom of the stack
    uint64_t start, size;
  } kCases[] = {
      {"rest of the stack fits", 0x1F000, false, 0x10000, 0x40000, UINT64_MAX, 0x1EF80, 0x1080},
      {"other thread cut at its limit", 0x11000, false, 0x1000, 0x2000, UINT64_MAX, 0x10F80, 0x1000},
      {"faulting thread cut at its larger limit", 0x11000, true, 0x1000, 0x2000, UINT64_MAX, 0x10F80, 0x2000},
      {"red zone stops at the stack's bottom", 0x10040, false, 0x20000, 0x20000, UINT64_MAX, 0x10000, 0x10000},
      {"stored as far as it reads", 0x18000, false, 0x10000, 0x10000, 0x9000, 0x17F80, 0x1080},
      {"unreadable stack is not stored", 0x18000, false, 0x10000, 0x10000, 0, 0x17F80, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeSnapshot snapshot;
    snapshot.AddThread(7, kLow, kHigh, c.sp, c.readable);
    snapshot.exception().thread_id = c.faulting ? 7 : 99;
    DumpLimits limits;
    limits.max_stack_bytes = c.max_stack;
    limits.faulting_stack_bytes = c.faulting_stack;
    limits.bytes_around_fault = 0;
    const Written written = WriteAndRead(snapshot, limits);
    ASSERT_TRUE(written.dump.Valid()) << Problems(written.dump);
    ASSERT_EQ(written.dump.threads.size(), 1u);
    const DumpThread& thread = written.dump.threads[0];
    EXPECT_EQ(thread.stack_size, c.size);
    if (c.size > 0) {
      EXPECT_EQ(thread.stack_start, c.start);
      EXPECT_EQ(thread.stack, FakeSnapshot::Pattern(7, kHigh - kLow).substr(c.start - kLow, c.size));
    }
    EXPECT_EQ(written.dump.memory.size(), c.size > 0 ? 1u : 0u);
  }
}

TEST(MinidumpWriter, AStackOverlappingAnEarlierThreadsIsNotStoredTwice) {
  // Thread 2 reports a stack pointer inside thread 1's stack (a snapshot
  // taken as a stack switched): its stack stays out, the thread stays listed.
  FakeSnapshot snapshot;
  snapshot.AddThread(1, 0x10000, 0x20000, 0x18000);
  snapshot.AddThread(2, 0x30000, 0x40000, 0x1C000);
  snapshot.AddThread(3, 0x50000, 0x60000, 0x5F000);
  snapshot.exception().thread_id = 1;
  const Written written = WriteAndRead(snapshot);
  ASSERT_TRUE(written.dump.Valid()) << Problems(written.dump);
  ASSERT_EQ(written.dump.threads.size(), 3u);
  EXPECT_EQ(written.dump.threads[0].stack_size, 0x8080u);
  EXPECT_EQ(written.dump.threads[1].stack_size, 0u);
  EXPECT_TRUE(written.dump.threads[1].has_registers);
  EXPECT_EQ(written.dump.threads[2].stack_size, 0x1080u);
  EXPECT_EQ(written.dump.memory.size(), 2u);
}

TEST(MinidumpWriter, MemoryAroundTheFaultIsStoredOnceBesideTheStacks) {
  // Thread 1 faulted with its stack stored from 0x17F80 to 0x20000; thread 2's
  // stack is stored from 0x30780 to 0x31000; rip is 0x401000.
  static constexpr struct {
    const char* name;
    uint64_t address;
    struct Piece {
      uint64_t start, size;
    } pieces[2];  // stored besides the stacks and the code around rip
    int piece_count;
  } kCases[] = {
      {"inside the faulting stack", 0x19000, {}, 0},
      {"below the stack pointer", 0x17E00, {{0x17A00, 0x580}}, 1},
      {"across the top of the stack", 0x1FF00, {{0x20000, 0x300}}, 1},
      {"far from every stack", 0x50000, {{0x4FC00, 0x800}}, 1},
      {"starting in a page that does not read", 0x4F100, {{0x4F000, 0x500}}, 1},
      {"around another thread's stored stack", 0x30700, {{0x30300, 0x480}}, 1},
      {"unreadable", 0x90000, {}, 0},
  };
  constexpr uint64_t kRip = 0x401000;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeSnapshot snapshot;
    ThreadFacts& faulting = snapshot.AddThread(1, 0x10000, 0x20000, 0x18000);
    faulting.registers.rip = kRip;
    snapshot.AddThread(2, 0x30000, 0x31000, 0x30800);
    snapshot.AddMemory(0x20000, FakeSnapshot::Pattern(3, 0x1000));
    snapshot.AddMemory(0x4F000, FakeSnapshot::Pattern(4, 0x2000));
    snapshot.AddMemory(0x400000, FakeSnapshot::Pattern(5, 0x2000));
    snapshot.exception().thread_id = 1;
    snapshot.exception().address = c.address;
    snapshot.exception().registers = faulting.registers;
    const Written written = WriteAndRead(snapshot);
    const MinidumpContents& dump = written.dump;
    ASSERT_TRUE(dump.Valid()) << Problems(dump);

    std::vector<std::pair<uint64_t, uint64_t>> expected = {{0x17F80, 0x8080}, {0x30780, 0x880}, {kRip - 1024, 2048}};
    for (int i = 0; i < c.piece_count; ++i) expected.push_back({c.pieces[i].start, c.pieces[i].size});
    std::vector<std::pair<uint64_t, uint64_t>> stored;
    for (const auto& range : dump.memory) stored.push_back({range.start, range.size});
    std::sort(expected.begin(), expected.end());
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, expected);
    // Every byte around the fault that the process could read is in the dump.
    for (uint64_t address = c.address - 1024; address < c.address + 1024; address += 64) {
      char byte = 0;
      if (snapshot.ReadMemory(address, &byte, 1) == 1) {
        EXPECT_EQ(dump.MemoryAt(written.file, address, 1), std::string(1, byte)) << std::hex << address;
      }
    }
  }
}

TEST(MinidumpWriter, WindowsAroundFaultAndInstructionMergeWhenClose) {
  FakeSnapshot snapshot;
  ThreadFacts& faulting = snapshot.AddThread(1, 0x10000, 0x20000, 0x18000);
  faulting.registers.rip = 0x401000;
  snapshot.AddMemory(0x400000, FakeSnapshot::Pattern(5, 0x2000));
  snapshot.exception().thread_id = 1;
  snapshot.exception().address = 0x401100;
  snapshot.exception().registers = faulting.registers;
  const Written written = WriteAndRead(snapshot);
  ASSERT_TRUE(written.dump.Valid()) << Problems(written.dump);
  ASSERT_EQ(written.dump.memory.size(), 2u);
  const DumpMemoryRange& code = written.dump.memory[0].start == 0x17F80 ? written.dump.memory[1] : written.dump.memory[0];
  EXPECT_EQ(code.start, 0x401000u - 1024);
  EXPECT_EQ(code.size, 0x100u + 2048);
}

TEST(MinidumpWriter, ExtraStreamsAreCopiedChunkByChunk) {
  static constexpr struct {
    const char* name;
    size_t size;
    size_t chunk;  // the most the snapshot hands out per read
  } kCases[] = {
      {"small reads", 10000, 3000},
      {"reads larger than the copy buffer", 20000, 5000},
      {"a read of one byte at a time", 700, 1},
      {"exactly one buffer", 4096, 4096},
      {"empty", 0, 4096},
  };
  FakeSnapshot snapshot = CrashedProcess();
  uint32_t type = 0x47670003;
  for (const auto& c : kCases) snapshot.AddExtraStream(type++, FakeSnapshot::Pattern(static_cast<uint32_t>(c.size), c.size), c.chunk);
  const Written written = WriteAndRead(snapshot);
  ASSERT_TRUE(written.dump.Valid()) << Problems(written.dump);
  EXPECT_EQ(written.size, written.file.size());
  type = 0x47670003;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(written.dump.other_streams.count(type), 1u);
    EXPECT_EQ(written.dump.other_streams.at(type), FakeSnapshot::Pattern(static_cast<uint32_t>(c.size), c.size));
    ++type;
  }
}

TEST(MinidumpWriter, NamesAreStoredAsUtf16) {
  static constexpr struct {
    const char* name;
    const char* path;      // UTF-8 as the snapshot holds it
    const char* read_back;  // UTF-8 of the stored UTF-16
    uint32_t bytes;         // the stored length in bytes
  } kCases[] = {
      {"ASCII", "/lib/libc.so.6", "/lib/libc.so.6", 28},
      {"two-byte sequence", "/jeu/\xC3\xA9t\xC3\xA9", "/jeu/\xC3\xA9t\xC3\xA9", 16},
      {"three-byte sequence", "/\xE2\x82\xAC", "/\xE2\x82\xAC", 4},
      {"outside the basic plane: a surrogate pair", "/\xF0\x9F\x98\x80", "/\xF0\x9F\x98\x80", 6},
      {"stray continuation byte", "/a\x80" "b", "/a\xEF\xBF\xBD" "b", 8},
      {"sequence cut by the next character", "/\xE2\x82" "A", "/\xEF\xBF\xBD" "A", 6},
      {"sequence cut by the end", "/x\xC3", "/x\xEF\xBF\xBD", 6},
      {"overlong encoding", "/\xC0\xAF", "/\xEF\xBF\xBD", 4},
      {"encoded surrogate", "/\xED\xA0\x80", "/\xEF\xBF\xBD", 4},
      {"empty", "", "", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeSnapshot snapshot;
    snapshot.AddModule(0x400000, 0x1000, c.path, "");
    const Written written = WriteAndRead(snapshot);
    ASSERT_TRUE(written.dump.Valid()) << Problems(written.dump);
    ASSERT_EQ(written.dump.modules.size(), 1u);
    EXPECT_EQ(written.dump.modules[0].name, c.read_back);
    // The length prefix counts bytes without the terminating zero unit, which follows.
    uint32_t modules = 0, name_rva = 0, length = 0;
    const uint32_t count = Le32At(written.file, 8), directory = Le32At(written.file, 12);
    for (uint32_t i = 0; i < count; ++i) {
      if (Le32At(written.file, directory + i * 12) == 4) modules = Le32At(written.file, directory + i * 12 + 8);
    }
    name_rva = Le32At(written.file, modules + 4 + 20);
    length = Le32At(written.file, name_rva);
    EXPECT_EQ(length, c.bytes);
    EXPECT_EQ(written.file.substr(name_rva + 4 + length, 2), std::string(2, '\0'));
  }
}

TEST(MinidumpWriter, AFailedWriteAnywhereGivesZero) {
  FakeSnapshot snapshot = CrashedProcess();
  snapshot.AddExtraStream(0x47670006, std::string("game\0--level\0forest\0", 20), 4096);
  BufferOutput counting;
  ASSERT_GT(WriteMinidump(snapshot, counting), 0u);
  const int writes = counting.writes();
  ASSERT_GT(writes, 10);
  for (int fail_at : {1, 2, writes / 2, writes - 1, writes}) {
    SCOPED_TRACE(fail_at);
    BufferOutput out;
    out.FailAt(fail_at);
    EXPECT_EQ(WriteMinidump(snapshot, out), 0u);
  }
  BufferOutput too_small(1000);
  EXPECT_EQ(WriteMinidump(snapshot, too_small), 0u);
}

}  // namespace
