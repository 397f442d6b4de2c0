// The reader against dumps broken on purpose: each fault is named in plain
// words, and the reader never reads outside the file.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "minidump/fake_snapshot.h"
#include "minidump/minidump_file_writer.h"
#include "minidump/minidump_reader.h"

namespace {

using namespace Vextra::minidump;
using vextra_test::BufferOutput;
using vextra_test::FakeSnapshot;

uint32_t Get32(const std::string& file, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, &file[offset], 4);
  return value;
}
void Put32(std::string& file, size_t offset, uint32_t value) { std::memcpy(&file[offset], &value, 4); }

// Offset of the directory entry of stream type.
size_t EntryOf(const std::string& file, uint32_t type) {
  const uint32_t count = Get32(file, 8), directory = Get32(file, 12);
  for (uint32_t i = 0; i < count; ++i) {
    if (Get32(file, directory + i * 12) == type) return directory + i * 12;
  }
  ADD_FAILURE() << "no stream of type " << type;
  return 0;
}
uint32_t RvaOf(const std::string& file, uint32_t type) { return Get32(file, EntryOf(file, type) + 8); }

// A sound dump: two threads with stacks, a module with a debug record, the
// code around the fault. The ELF debug record's signature 0x4270454C is
// stored little-endian, so its bytes read "LEpB".
std::string SoundDump() {
  FakeSnapshot snapshot;
  ThreadFacts& faulting = snapshot.AddThread(1, 0x10000, 0x20000, 0x1F000);
  faulting.registers.rip = 0x401000;
  snapshot.AddThread(2, 0x30000, 0x31000, 0x30800);
  snapshot.AddMemory(0x400000, FakeSnapshot::Pattern(5, 0x2000));
  snapshot.AddModule(0x400000, 0x2000, "/bin/game", std::string("LEpB\x01\x02\x03\x04", 8));
  snapshot.exception().thread_id = 1;
  snapshot.exception().code = 11;
  snapshot.exception().address = 0x401000;
  snapshot.exception().registers = faulting.registers;
  snapshot.AddExtraStream(0x47670006, "game", 4096);
  BufferOutput out;
  EXPECT_GT(WriteMinidump(snapshot, out), 0u);
  return out.File();
}

TEST(MinidumpReader, SoundDumpHasNoProblems) {
  const std::string file = SoundDump();
  const MinidumpContents dump = ReadMinidump(file);
  EXPECT_TRUE(dump.Valid());
  EXPECT_EQ(dump.threads.size(), 2u);
  EXPECT_EQ(dump.modules.size(), 1u);
  EXPECT_EQ(dump.memory.size(), 3u);
}

TEST(MinidumpReader, BrokenDumpsAreRefusedWithTheReason) {
  // Memory list offsets: count at 0, descriptors of 16 bytes from 4.
  // Thread entries of 48 bytes from 4: the context's location at 40.
  // Module entries of 108 bytes from 4: the name at 20, the debug record at 76.
  static const struct {
    const char* name;
    std::function<void(std::string&)> damage;
    const char* problem;
  } kCases[] = {
      {"cut inside the header", [](std::string& f) { f.resize(20); }, "too short for a minidump header"},
      {"empty file", [](std::string& f) { f.clear(); }, "too short for a minidump header"},
      {"bad signature", [](std::string& f) { f[0] = 'X'; }, "MDMP signature"},
      {"directory beyond the end", [](std::string& f) { Put32(f, 8, 100000); }, "stream directory"},
      {"cut in the middle", [](std::string& f) { f.resize(f.size() / 2); }, "beyond the end of the file"},
      {"stream beyond the end",
       [](std::string& f) { Put32(f, EntryOf(f, 3) + 8, static_cast<uint32_t>(f.size() - 4)); },
       "beyond the end of the file"},
      {"stream size past the end",
       [](std::string& f) { Put32(f, EntryOf(f, 7) + 4, 0xFFFFFFF0u); }, "beyond the end of the file"},
      {"thread count disagrees with the size",
       [](std::string& f) { Put32(f, RvaOf(f, 3), 3); }, "thread list stream's size"},
      {"module count disagrees with the size",
       [](std::string& f) { Put32(f, RvaOf(f, 4), 0); }, "module list stream's size"},
      {"memory count disagrees with the size",
       [](std::string& f) { Put32(f, RvaOf(f, 5), 7); }, "memory list stream's size"},
      {"overlapping memory",
       [](std::string& f) {
         const uint32_t list = RvaOf(f, 5);
         uint64_t first = 0;
         std::memcpy(&first, &f[list + 4], 8);
         const uint64_t second = first + 16;
         std::memcpy(&f[list + 4 + 16], &second, 8);
       },
       "overlap"},
      {"memory range beyond the end",
       [](std::string& f) { Put32(f, RvaOf(f, 5) + 4 + 12, static_cast<uint32_t>(f.size())); },
       "beyond the end of the file"},
      {"thread context too short",
       [](std::string& f) { Put32(f, RvaOf(f, 3) + 4 + 40, 100); }, "context has 100 bytes"},
      {"thread context beyond the end",
       [](std::string& f) { Put32(f, RvaOf(f, 3) + 4 + 44, static_cast<uint32_t>(f.size() - 8)); },
       "context lies beyond the end"},
      {"thread stack beyond the end",
       [](std::string& f) { Put32(f, RvaOf(f, 3) + 4 + 32, 0x7FFFFFFF); }, "stack of"},
      {"module name beyond the end",
       [](std::string& f) { Put32(f, RvaOf(f, 4) + 4 + 20, static_cast<uint32_t>(f.size() - 2)); }, "name at"},
      {"module name of odd length",
       [](std::string& f) { Put32(f, Get32(f, RvaOf(f, 4) + 4 + 20), 3); }, "odd length"},
      {"debug record beyond the end",
       [](std::string& f) { Put32(f, RvaOf(f, 4) + 4 + 76, 0x10000000); }, "debug record lies beyond"},
      {"RSDS record too short",
       [](std::string& f) { std::memcpy(&f[Get32(f, RvaOf(f, 4) + 4 + 80)], "RSDS", 4); }, "RSDS record"},
      {"exception stream too short", [](std::string& f) { Put32(f, EntryOf(f, 6) + 4, 100); }, "exception stream has 100"},
      {"system information too short", [](std::string& f) { Put32(f, EntryOf(f, 7) + 4, 40); }, "system information stream has 40"},
      {"a stream listed twice", [](std::string& f) { Put32(f, EntryOf(f, 6), 3); }, "more than once"},
      {"no system information", [](std::string& f) { Put32(f, EntryOf(f, 7), 0); }, "no system information"},
      {"context of another architecture",
       [](std::string& f) { Put32(f, Get32(f, RvaOf(f, 3) + 4 + 44) + 0x30, 0x10007); }, "do not name x86-64"},
  };
  const std::string sound = SoundDump();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string file = sound;
    c.damage(file);
    const MinidumpContents dump = ReadMinidump(file);
    ASSERT_FALSE(dump.Valid());
    bool named = false;
    std::string all;
    for (const auto& problem : dump.problems) {
      named = named || problem.find(c.problem) != std::string::npos;
      all += problem + "\n";
    }
    EXPECT_TRUE(named) << "expected \"" << c.problem << "\" among:\n" << all;
  }
}

}  // namespace
