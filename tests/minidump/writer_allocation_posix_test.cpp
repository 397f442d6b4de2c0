// The writer runs on a crashing thread: it must take nothing from the heap
// (another thread may have died holding the allocator's lock) and no mutex.
// A sanitizer brings its own allocator, which cannot be counted: the case is
// left out of those builds.

#include <gtest/gtest.h>

#include "minidump/fake_snapshot.h"
#include "minidump/minidump_file_writer.h"
#include "support/counting_allocator_posix.h"

#ifndef VEXTRA_OWN_ALLOCATOR
namespace {

using namespace Vextra::minidump;
using vextra_test::BufferOutput;
using vextra_test::FakeSnapshot;

TEST(MinidumpWriterAllocation, WritingADumpAllocatesAndLocksNothing) {
  // The counters do see an allocation and a lock on this thread.
  ASSERT_GT(vextra_test::AllocationsDuring([] { delete new std::string(100, 'x'); }), 0);

  FakeSnapshot snapshot;
  for (uint32_t i = 0; i < 20; ++i) {
    const uint64_t low = 0x100000 + uint64_t{i} * 0x20000;
    snapshot.AddThread(1000 + i, low, low + 0x10000, low + 0xC000);
  }
  snapshot.thread(5).registers_known = false;
  snapshot.AddModule(0x400000, 0x10000, "/opt/game/bin/g\xC3\xA4me", std::string("LEpB\x01\x02\x03\x04", 8));
  snapshot.AddMemory(0x400000, FakeSnapshot::Pattern(1, 0x10000));
  snapshot.AddExtraStream(0x47670009, std::string(9000, 'm'), 3000);
  snapshot.exception().thread_id = 1003;
  snapshot.exception().address = 0x400800;
  snapshot.exception().registers = snapshot.thread(3).registers;
  BufferOutput out;  // sized before counting starts

  uint64_t size = 0;
  vextra_test::StartCounting();
  size = WriteMinidump(snapshot, out);
  vextra_test::StopCounting();
  EXPECT_GT(size, 20u * 0x4000);
  EXPECT_EQ(vextra_test::CountedAllocations(), 0);
  EXPECT_EQ(vextra_test::CountedLocks(), 0);
}

}  // namespace
#endif
