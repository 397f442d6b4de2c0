// The order of the two dump writers: the preferred one first, the other only
// when the first wrote nothing, and the size and writer of the file that stays.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/dump/dump_writer_order.h"

namespace {

using Vextra::DumpWriterKind;

struct FakeWriters {
  uint64_t system_size = 0;
  uint64_t own_size = 0;
  std::vector<DumpWriterKind> calls;
  std::vector<int32_t> types;
};

uint64_t FakeWrite(DumpWriterKind kind, const wchar_t* path, int32_t dump_type, void* context) {
  auto& fake = *static_cast<FakeWriters*>(context);
  EXPECT_EQ(std::wstring(path), L"dir/HcDump.HcS.7.dmp");
  fake.calls.push_back(kind);
  fake.types.push_back(dump_type);
  return kind == DumpWriterKind::kSystem ? fake.system_size : fake.own_size;
}

TEST(DumpWriterOrder, PreferredWriterFirstTheOtherOnlyWhenItWroteNothing) {
  constexpr auto kSystem = DumpWriterKind::kSystem;
  constexpr auto kOwn = DumpWriterKind::kOwn;
  struct Row {
    const char* name;
    bool own_first;
    uint64_t system_size, own_size;
    std::vector<DumpWriterKind> calls;
    uint64_t size;
    DumpWriterKind used;
  };
  const Row rows[] = {
      {"system writes", false, 5000, 700, {kSystem}, 5000, kSystem},
      {"system fails, own takes over", false, 0, 700, {kSystem, kOwn}, 700, kOwn},
      {"both fail", false, 0, 0, {kSystem, kOwn}, 0, kSystem},
      {"own first writes", true, 5000, 700, {kOwn}, 700, kOwn},
      {"own first fails, system takes over", true, 5000, 0, {kOwn, kSystem}, 5000, kSystem},
      {"own first, both fail", true, 0, 0, {kOwn, kSystem}, 0, kSystem},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeWriters fake;
    fake.system_size = row.system_size;
    fake.own_size = row.own_size;
    DumpWriterKind used = DumpWriterKind::kSystem;
    const Vextra::DumpWriterPair writers{&FakeWrite, &fake};
    EXPECT_EQ(Vextra::WriteDumpFileInOrder(row.own_first, L"dir/HcDump.HcS.7.dmp", 0x2, writers, &used), row.size);
    EXPECT_EQ(fake.calls, row.calls);
    // Every writer is handed the type the host chose.
    EXPECT_EQ(fake.types, std::vector<int32_t>(row.calls.size(), 0x2));
    if (row.size > 0) EXPECT_EQ(used, row.used);
  }
}

}  // namespace
