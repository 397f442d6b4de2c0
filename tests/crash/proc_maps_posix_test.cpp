// Readers of /proc/self/maps lines and of ELF build-id notes, on fixed lines
// and on this test program's own image.

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crash/crash_context.h"
#include "crash/crash_decisions.h"
#include "crash/ignored_modules.h"
#include "crash/proc_maps.h"

namespace {

TEST(ProcMapsTest, ParsesLines) {
  static constexpr struct {
    const char* line;
    bool ok;
    uint64_t start, end, offset, inode;
    const char* perms;  // r, w, x as parsed
    const char* path;
    bool module;
  } kCases[] = {
      {"55d0c8a00000-55d0c8a02000 r--p 00000000 fd:01 1311234                    /usr/bin/cat", true,
       0x55d0c8a00000, 0x55d0c8a02000, 0, 1311234, "r--", "/usr/bin/cat", true},
      {"7f1e2c228000-7f1e2c3bd000 r-xp 00028000 08:02 2097360 /usr/lib/x86_64-linux-gnu/libc.so.6", true,
       0x7f1e2c228000, 0x7f1e2c3bd000, 0x28000, 2097360, "r-x", "/usr/lib/x86_64-linux-gnu/libc.so.6", true},
      {"7ffc5d3f0000-7ffc5d411000 rw-p 00000000 00:00 0                          [stack]", true, 0x7ffc5d3f0000,
       0x7ffc5d411000, 0, 0, "rw-", "[stack]", false},
      {"7ffc5d5f8000-7ffc5d5fa000 r-xp 00000000 00:00 0                          [vdso]", true, 0x7ffc5d5f8000,
       0x7ffc5d5fa000, 0, 0, "r-x", "[vdso]", true},
      {"7f1e2c000000-7f1e2c021000 rw-p 00000000 00:00 0 ", true, 0x7f1e2c000000, 0x7f1e2c021000, 0, 0, "rw-", "",
       false},
      {"7f1e2c000000-7f1e2c021000 rw-p 00000000 00:00 0", true, 0x7f1e2c000000, 0x7f1e2c021000, 0, 0, "rw-", "",
       false},
      {"7f00-7f10 rw-s 00000000 00:05 4242 /tmp/my file (deleted)", true, 0x7f00, 0x7f10, 0, 4242, "rw-",
       "/tmp/my file (deleted)", false},
      {"7f00-7f10 r--p 00000000 00:05 4242 /opt/game dir/lib game.so", true, 0x7f00, 0x7f10, 0, 4242, "r--",
       "/opt/game dir/lib game.so", true},
      {"ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0  [vsyscall]", true, 0xffffffffff600000,
       0xffffffffff601000, 0, 0, "--x", "[vsyscall]", false},
      {"7f10-7f00 r--p 00000000 00:05 1 /lib/x.so", false},     // end before start
      {"7f00 7f10 r--p 00000000 00:05 1 /lib/x.so", false},     // no dash
      {"7f00-7f10 r--p 00000000 00:05", false},                 // no inode
      {"7f00-7f10 r-", false},                                  // cut short
      {"", false},
      {"zz00-7f10 r--p 00000000 00:05 1 /lib/x.so", false},
      {"10000000000000000-10000000000000001 r--p 0 0:0 0", false},  // more than 64 bits
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    Vextra::MapsEntry entry;
    ASSERT_EQ(Vextra::ParseMapsLine(c.line, std::strlen(c.line), &entry), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(entry.start, c.start);
    EXPECT_EQ(entry.end, c.end);
    EXPECT_EQ(entry.offset, c.offset);
    EXPECT_EQ(entry.inode, c.inode);
    const std::string perms = std::string(entry.readable ? "r" : "-") + (entry.writable ? "w" : "-") +
                              (entry.executable ? "x" : "-");
    EXPECT_EQ(perms, c.perms);
    EXPECT_EQ(std::string(entry.path, entry.path_length), c.path);
    EXPECT_EQ(Vextra::IsModuleMapping(entry), c.module);
  }
}

struct Collected {
  std::vector<std::string> lines;
};

void Collect(const char* text, size_t length, void* context) {
  static_cast<Collected*>(context)->lines.emplace_back(text, length);
}

TEST(ProcMapsTest, LineSplitterHandsOutWholeLinesAcrossChunks) {
  static constexpr struct {
    const char* name;
    const char* stream;
    size_t chunk;
    std::initializer_list<const char*> lines;
  } kCases[] = {
      {"one chunk", "a\nbb\nccc\n", 64, {"a", "bb", "ccc"}},
      {"byte by byte", "a\nbb\nccc\n", 1, {"a", "bb", "ccc"}},
      {"no final break", "a\nbb", 3, {"a", "bb"}},
      {"empty lines", "\n\nx\n", 2, {"", "", "x"}},
      // The buffer holds 8 bytes: a longer line is dropped whole, the next kept.
      {"too long", "short\n0123456789abcdef\nnext\n", 4, {"short", "next"}},
      {"too long at the end", "ok\n0123456789abcdef", 5, {"ok"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    char buffer[8];
    Vextra::LineSplitter lines(buffer, sizeof buffer);
    Collected collected;
    const size_t total = std::strlen(c.stream);
    size_t at = 0;
    while (at < total) {
      size_t n = std::min({c.chunk, lines.FreeBytes(), total - at});
      ASSERT_GT(n, 0u);
      std::memcpy(lines.FreeSpace(), c.stream + at, n);
      at += n;
      lines.Feed(n, &Collect, &collected);
    }
    lines.Feed(0, &Collect, &collected);
    EXPECT_EQ(collected.lines, std::vector<std::string>(c.lines.begin(), c.lines.end()));
  }
}

std::vector<uint8_t> Note(uint32_t type, const std::string& name, const std::vector<uint8_t>& desc) {
  std::vector<uint8_t> out;
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(static_cast<uint32_t>(name.size() + 1));
  put32(static_cast<uint32_t>(desc.size()));
  put32(type);
  for (char ch : name) out.push_back(static_cast<uint8_t>(ch));
  out.push_back(0);
  while (out.size() % 4) out.push_back(0);
  out.insert(out.end(), desc.begin(), desc.end());
  while (out.size() % 4) out.push_back(0);
  return out;
}

TEST(ProcMapsTest, FindsTheBuildIdNoteAmongOthers) {
  const std::vector<uint8_t> id = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                   0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10};
  std::vector<uint8_t> abi = Note(1, "GNU", {0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0});
  std::vector<uint8_t> other_vendor = Note(3, "Go", {1, 2, 3});
  std::vector<uint8_t> build_id = Note(3, "GNU", id);
  std::vector<uint8_t> notes;
  for (const auto* part : {&abi, &other_vendor, &build_id}) notes.insert(notes.end(), part->begin(), part->end());

  uint8_t out[Vextra::kMaxBuildIdBytes];
  ASSERT_EQ(Vextra::FindBuildIdNote(notes.data(), notes.size(), out), id.size());
  EXPECT_EQ(std::vector<uint8_t>(out, out + id.size()), id);

  // Cut inside the build id's descriptor: malformed, nothing found.
  EXPECT_EQ(Vextra::FindBuildIdNote(notes.data(), notes.size() - 8, out), 0u);
  // Without the build-id note.
  EXPECT_EQ(Vextra::FindBuildIdNote(notes.data(), abi.size() + other_vendor.size(), out), 0u);
  // A size field that points past the end.
  std::vector<uint8_t> lying = Note(3, "GNU", id);
  lying[4] = 0xff;
  EXPECT_EQ(Vextra::FindBuildIdNote(lying.data(), lying.size(), out), 0u);
}

size_t ReadOwnMemory(uint64_t address, void* buffer, size_t size, void*) {
  std::memcpy(buffer, reinterpret_cast<const void*>(address), size);
  return size;
}

// The build id as binutils reads it from the file on disk.
std::string BuildIdFromReadelf(const std::string& path) {
  const std::string command = "readelf -n '" + path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char line[512];
  std::string id;
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    const char* found = std::strstr(line, "Build ID: ");
    if (found == nullptr) continue;
    id = found + std::strlen("Build ID: ");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  }
  pclose(pipe);
  return id;
}

struct FirstImage {
  uint64_t base = 0;
};

TEST(ProcMapsTest, ReadsThisProgramsBuildIdFromMemory) {
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const std::string expected = BuildIdFromReadelf(exe);
  ASSERT_FALSE(expected.empty()) << "readelf found no build id in " << exe;

  // The executable is the first object the loader lists; its lowest loaded
  // address is where its ELF header lies.
  FirstImage image;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto& first = *static_cast<FirstImage*>(data);
        uint64_t lowest = ~0ull;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_offset == 0) {
            lowest = std::min<uint64_t>(lowest, info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
          }
        }
        first.base = lowest;
        return 1;
      },
      &image);
  ASSERT_NE(image.base, 0u);

  uint8_t id[Vextra::kMaxBuildIdBytes];
  const size_t length = Vextra::ReadElfBuildId(image.base, &ReadOwnMemory, nullptr, id);
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", id[i]);
    hex += two;
  }
  EXPECT_EQ(hex, expected);
}

TEST(ProcMapsTest, NoBuildIdWhereThereIsNoElfImage) {
  static const uint8_t kNotElf[64] = {'M', 'Z'};
  uint8_t id[Vextra::kMaxBuildIdBytes];
  EXPECT_EQ(Vextra::ReadElfBuildId(reinterpret_cast<uint64_t>(kNotElf), &ReadOwnMemory, nullptr, id), 0u);
}

}  // namespace

namespace {

TEST(IgnoredModulesLinuxTest, RefreshEntersLoadedFilesOnTheList) {
  // The C library holds abort(); this program holds this test.
  Dl_info libc{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&abort), &libc), 0);
  std::string libc_name = std::strrchr(libc.dli_fname, '/') + 1;
  Vextra::CHcSpyGlobal::Instance().ignored_modules.ResetForTesting();
  Vextra::IgnoredDllNames().Replace({"NOT-LOADED.SO", libc_name});
  ASSERT_TRUE(Vextra::RefreshIgnoredModules());
  const auto& table = Vextra::CHcSpyGlobal::Instance().ignored_modules;
  ASSERT_EQ(table.Count(), 1u);
  EXPECT_EQ(std::string(table.Entry(0).name), libc_name);
  EXPECT_EQ(table.Entry(0).base, reinterpret_cast<uintptr_t>(libc.dli_fbase));
  EXPECT_TRUE(Vextra::IsInIgnoredModule(reinterpret_cast<uintptr_t>(&abort)));
  EXPECT_FALSE(Vextra::IsInIgnoredModule(reinterpret_cast<uintptr_t>(&ReadOwnMemory)));
  // A refresh enters the same file again, as every refresh does.
  ASSERT_TRUE(Vextra::RefreshIgnoredModules());
  EXPECT_EQ(table.Count(), 2u);
  Vextra::CHcSpyGlobal::Instance().ignored_modules.ResetForTesting();
  Vextra::IgnoredDllNames().Replace({});
}

}  // namespace
