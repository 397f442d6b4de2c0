// Whole walks over small dumps made here: every way a walk must stop early
// ends with an error line after the frames it could find, never a crash or
// a hang, whatever the dump or the module files say.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fixture_files.h"
#include "stackwalk/stack_walker.h"

namespace collector {
namespace {

using stackwalk_test::FixtureModule;
using stackwalk_test::FixtureThread;
using stackwalk_test::MakeDump;
using stackwalk_test::Words;

constexpr uint64_t kStack = 0x7000'0000;
constexpr uint64_t kCode = 0x40'0000;  // "game.exe", no file unless a test gives one

// Files by module name; a name without a file gets none.
class FixtureFiles : public ModuleFiles {
 public:
  ~FixtureFiles() override {
    for (const auto& [name, path] : paths_) std::remove(path.c_str());
  }
  void Add(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + "stackwalk_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    paths_[name] = path;
  }
  std::string PathFor(const Vextra::minidump::DumpModule& module) override {
    auto it = paths_.find(module.name);
    return it == paths_.end() ? "" : it->second;
  }

 private:
  std::map<std::string, std::string> paths_;
};

// A thread in game.exe with the rbp chain given by the stack words.
FixtureThread Thread(const std::vector<uint64_t>& words, uint64_t rbp, uint64_t rsp = kStack) {
  FixtureThread thread;
  thread.rip = kCode + 0x1000;
  thread.rsp = rsp;
  thread.rbp = rbp;
  thread.stack_start = kStack;
  thread.stack = Words(words);
  return thread;
}

const std::vector<FixtureModule> kGame = {{kCode, 0x4000, "game.exe"}};

struct Expected {
  std::vector<std::string> trust;  // of each frame
  const char* error;               // a part of the error line; "" for none
};

void ExpectWalk(const ThreadStack& thread, const Expected& expected) {
  std::vector<std::string> trust;
  for (const StackFrame& frame : thread.frames) trust.push_back(frame.trust);
  EXPECT_EQ(trust, expected.trust);
  if (expected.error[0] == '\0') {
    EXPECT_EQ(thread.error, "");
  } else {
    EXPECT_NE(thread.error.find(expected.error), std::string::npos) << thread.error;
  }
}

TEST(WalkBounds, BrokenStacksEndWithAnErrorAfterTheFramesFound) {
  const uint64_t a = kStack + 0x20, b = kStack + 0x40;
  FixtureThread no_stack = Thread({}, 0);
  FixtureThread no_registers = Thread({0}, 0);
  no_registers.registers = false;
  const struct {
    const char* name;
    FixtureThread thread;
    Expected expected;
  } kCases[] = {
      // a -> b -> a: the second link leads back to a frame already walked.
      {"a loop in the rbp chain",
       Thread({0, 0, 0, 0, b, kCode + 0x1100, 0, 0, a, kCode + 0x1200}, a),
       {{"context", "frame pointer"}, "loops back"}},
      {"a frame-pointer link to itself", Thread({0, 0, 0, 0, a, kCode + 0x1100}, a), {{"context"}, "loops back"}},
      {"the stack pointer outside the stored stack", Thread({0, 0}, 0, 0x10), {{"context"}, "outside the thread's stored stack"}},
      {"no stack stored", no_stack, {{"context"}, "stack was not stored"}},
      {"no registers stored", no_registers, {{}, "registers were not stored"}},
      // A clean chain ending in a zero return address: no error.
      {"a sound chain", Thread({0, 0, 0, 0, b, kCode + 0x1100, 0, 0, 0, 0}, a), {{"context", "frame pointer"}, ""}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FixtureFiles files;
    const WalkedDump walked = WalkDump(MakeDump({c.thread}, kGame), files);
    ASSERT_EQ(walked.threads.size(), 1u);
    EXPECT_TRUE(walked.threads[0].faulting);
    ExpectWalk(walked.threads[0], c.expected);
  }
}

TEST(WalkBounds, FrameAndScanLimitsHold) {
  // A chain of 8 frames up the stack: rbp at every 0x20 bytes.
  std::vector<uint64_t> words(0x20, 0);
  for (int i = 0; i < 7; ++i) {
    words[4 * i] = kStack + 0x20 * (i + 1);
    words[4 * i + 1] = kCode + 0x1100 + i;
  }
  FixtureFiles files;
  const std::string chain = MakeDump({Thread(words, kStack)}, kGame);
  ExpectWalk(WalkDump(chain, files, {3, 1024}).threads[0],
             {{"context", "frame pointer", "frame pointer"}, "stopped after 3 frames"});
  EXPECT_EQ(WalkDump(chain, files).threads[0].frames.size(), 8u);

  // One return address 12 words up, no frame pointer: found only when the
  // scan may read that far.
  std::vector<uint64_t> scan(16, 0);
  scan[12] = kCode + 0x1234;
  const std::string dump = MakeDump({Thread(scan, 0)}, kGame);
  ExpectWalk(WalkDump(dump, files, {256, 12}).threads[0], {{"context"}, ""});
  const WalkedDump found = WalkDump(dump, files, {256, 13});
  ExpectWalk(found.threads[0], {{"context", "scan"}, ""});
  EXPECT_EQ(found.threads[0].frames[1].pc, kCode + 0x1234);
  EXPECT_EQ(found.threads[0].frames[1].sp, kStack + 13 * 8);
  EXPECT_EQ(found.threads[0].frames[1].module_index, 0);
  EXPECT_EQ(found.threads[0].frames[1].module_offset, 0x1234u);
}

// With the module's file, the scan takes only values just after a call.
TEST(WalkBounds, ScanWithTheModuleFileTakesOnlyReturnAddressesAfterCalls) {
  std::string code(0x400, '\x90');
  code.replace(0x100, 5, std::string("\xE8\x00\x00\x00\x00", 5));  // call rel32, returns to 0x1105
  code.replace(0x200, 6, std::string("\xFF\x15\x00\x00\x00\x00", 6));  // call [rip+0], returns to 0x1206
  code.replace(0x300, 3, std::string("\x41\xFF\xD3", 3));  // call r11, returns to 0x1303
  const uint64_t not_after_call = kCode + 0x1150, after_call = kCode + 0x1105;
  FixtureFiles files;
  // No unwind entry covers the fault: the leaf rule reads [rsp], the value
  // not after a call; PE leaves that to the table method, so give no pdata.
  files.Add("game.exe", stackwalk_test::MakePe(code, std::string(0x400, '\0'), 0));
  for (uint64_t callee_return : {after_call, kCode + 0x1206, kCode + 0x1303}) {
    SCOPED_TRACE(callee_return);
    const WalkedDump walked = WalkDump(MakeDump({Thread({not_after_call, callee_return}, 0)}, kGame), files);
    const ThreadStack& thread = walked.threads[0];
    ASSERT_EQ(thread.frames.size(), 2u) << thread.error;
    EXPECT_EQ(thread.frames[1].trust, "scan");
    EXPECT_EQ(thread.frames[1].pc, callee_return);
  }
}

TEST(WalkBounds, HostileUnwindTablesEndTheWalkWithTheirReason) {
  // .pdata naming unwind information far outside the file, and nothing on
  // the stack to scan: the table's reason is the error line.
  std::string rdata(0x400, '\0');
  stackwalk_test::PutValue<uint32_t>(&rdata, 0, 0x1000);
  stackwalk_test::PutValue<uint32_t>(&rdata, 4, 0x1100);
  stackwalk_test::PutValue<uint32_t>(&rdata, 8, 0x7FFF'0000);
  FixtureFiles files;
  files.Add("game.exe", stackwalk_test::MakePe(std::string(0x400, '\x90'), rdata, 12));
  const WalkedDump walked = WalkDump(MakeDump({Thread({0, 0, 0}, 0)}, kGame), files);
  ExpectWalk(walked.threads[0], {{"context"}, "outside the module file"});
}

// Call frame information that moves the stack pointer the wrong way: the
// walk stops there with the reason, keeping the frames found.
TEST(WalkBounds, CallFrameInformationMovingTheStackWrongEndsTheWalk) {
  constexpr uint64_t kLib = 0x7F00'0000'0000;
  const struct {
    const char* name;
    std::string instructions;
    const char* error;
  } kCases[] = {
      // CFA = rsp, return address at CFA: the caller's sp equals this one's.
      {"stack pointer kept", std::string("\x0E\x00\x90\x00", 4), "did not increase"},
      // CFA = rsp + 0x10000, return address at [rsp]: beyond the stored stack.
      {"stack pointer beyond the stack", std::string("\x0E\x80\x80\x04\x90\x80\x40", 7),
       "outside the thread's stored stack"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FixtureFiles files;
    files.Add("libgame.so", stackwalk_test::MakeElf(std::string(0x100, '\x90'),
                                                    stackwalk_test::EhFrame(0x1000, 0x100, c.instructions)));
    FixtureThread thread = Thread({kLib + 0x1010, 0, 0, 0}, 0);
    thread.rip = kLib + 0x1010;
    const WalkedDump walked = WalkDump(MakeDump({thread}, {{kLib, 0x3000, "libgame.so"}}), files);
    ExpectWalk(walked.threads[0], {{"context"}, c.error});
  }
}

TEST(WalkBounds, DamagedDumpsShowWhatCouldBeRead) {
  const std::string sound = MakeDump({Thread({0, 0, 0, 0, 0, kCode + 0x1100, 0, 0, 0, 0}, kStack + 0x20)}, kGame);
  FixtureFiles files;
  // The thread entry's fields, found by the thread's id (1) in the list.
  const size_t list = sound.find(std::string("\x01\x00\x00\x00\x01\x00\x00\x00", 8));
  ASSERT_NE(list, std::string::npos);
  const size_t entry = list + 4;
  const struct {
    const char* name;
    size_t offset;  // in the thread entry
    uint32_t value;
    const char* error;
  } kCases[] = {
      {"stack beyond the end of the file", 36, 0xFFFF'FFF0, "stack was not stored"},
      {"stack size beyond the end of the file", 32, 0x7FFF'FFFF, "stack was not stored"},
      {"context beyond the end of the file", 44, 0xFFFF'FF00, ""},  // the exception's context still holds
      {"context too small", 40, 16, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string damaged = sound;
    stackwalk_test::PutValue<uint32_t>(&damaged, entry + c.offset, c.value);
    const WalkedDump walked = WalkDump(damaged, files);
    EXPECT_FALSE(walked.contents.problems.empty());
    ASSERT_EQ(walked.threads.size(), 1u);
    EXPECT_NE(walked.threads[0].error.find(c.error), std::string::npos) << walked.threads[0].error;
    EXPECT_EQ(walked.threads[0].frames.at(0).trust, "context");
  }
  // Every truncation reads what it can and walks what it read.
  for (size_t size = 0; size < sound.size(); ++size) {
    const WalkedDump walked = WalkDump(sound.substr(0, size), files);
    EXPECT_FALSE(walked.contents.problems.empty()) << size;
    for (const ThreadStack& thread : walked.threads) EXPECT_LE(thread.frames.size(), 2u) << size;
  }
}

}  // namespace
}  // namespace collector
