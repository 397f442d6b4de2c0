// Which group a report joins: crash signatures from the faulting thread's top
// frames outside the reporter's module, the exception fallback, and error
// signatures with addresses taken out.

#include "collector/analysis/group_key.h"

#include <gtest/gtest.h>

namespace collector {
namespace {

AnalysedFrame Frame(const std::string& module, uint64_t offset, const std::string& function = "") {
  AnalysedFrame frame;
  frame.module_name = module;
  frame.module_offset = offset;
  frame.pc = 0x7FF000000000 + offset;
  frame.function = function;
  return frame;
}

DumpAnalysis Crash(std::vector<AnalysedFrame> frames) {
  DumpAnalysis analysis;
  analysis.has_exception = true;
  analysis.exception_code = 0xC0000005;
  AnalysedThread other;
  other.thread_id = 1;
  other.frames = {Frame("other.dll", 0x10, "Elsewhere")};
  AnalysedThread faulting;
  faulting.thread_id = 2;
  faulting.faulting = true;
  faulting.frames = std::move(frames);
  analysis.threads = {other, faulting};
  return analysis;
}

TEST(CrashGroupKey, TopThreeFramesOutsideTheReportersModule) {
  const struct {
    const char* name;
    std::vector<AnalysedFrame> frames;
    const char* signature;
    const char* title;
  } kCases[] = {
      {"functions known",
       {Frame("game.exe", 0x1234, "Player::Die"), Frame("game.exe", 0x2000, "World::Tick"),
        Frame("game.exe", 0x3000, "main"), Frame("kernel32.dll", 0x17000, "BaseThreadInitThunk")},
       "crash | game.exe!Player::Die | game.exe!World::Tick | game.exe!main", "game.exe!Player::Die"},
      {"no symbols: module+offset",
       {Frame("game.exe", 0x1234), Frame("game.exe", 0xABC)},
       "crash | game.exe+0x1234 | game.exe+0xabc", "game.exe+0x1234"},
      {"own DLL frames skipped, any case",
       {Frame("Vextra64.dll", 0x500, "Vextra::Crash"), Frame("VEXTRA64.DLL", 0x600), Frame("game.exe", 0x1234, "Fire"),
        Frame("vextra64.dll", 0x700), Frame("game.exe", 0x2000), Frame("game.exe", 0x3000, "main")},
       "crash | game.exe!Fire | game.exe+0x2000 | game.exe!main", "game.exe!Fire"},
      {"own shared library skipped",
       {Frame("libVextra64.so", 0x500), Frame("game", 0x40, "Run")},
       "crash | game!Run", "game!Run"},
      {"a library with a similar name is kept",
       {Frame("Vextra64.dll.bak", 0x500), Frame("myVextra64.dll", 0x10)},
       "crash | Vextra64.dll.bak+0x500 | myVextra64.dll+0x10", "Vextra64.dll.bak+0x500"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const GroupKey key = CrashGroupKey(Crash(c.frames));
    EXPECT_EQ(key.signature, c.signature);
    EXPECT_EQ(key.title, c.title);
  }
}

TEST(CrashGroupKey, WithoutOwnFramesFallsBackToCodeAndModuleOffset) {
  DumpAnalysis analysis = Crash({Frame("Vextra64.dll", 0x500), Frame("vextra64.DLL", 0x600)});
  analysis.exception_address = 0x7FF8A0001234;
  analysis.modules = {{"C:\\Games\\game.exe", 0x140000000, 0x100000, "", "", false},
                      {"C:\\Games\\Vextra64.dll", 0x7FF8A0000000, 0x200000, "", "", false}};
  GroupKey key = CrashGroupKey(analysis);
  EXPECT_EQ(key.signature, "crash | 0xc0000005 Vextra64.dll+0x1234");
  EXPECT_EQ(key.title, "EXCEPTION_ACCESS_VIOLATION at Vextra64.dll+0x1234");

  // The same fault with the DLL loaded elsewhere: the same group.
  analysis.modules[1].base = 0x7FF9B0000000;
  analysis.exception_address = 0x7FF9B0001234;
  EXPECT_EQ(CrashGroupKey(analysis).signature, key.signature);

  // No thread at all and an address outside every module.
  DumpAnalysis bare;
  bare.exception_code = 11;
  bare.exception_address = 0x10;
  key = CrashGroupKey(bare);
  EXPECT_EQ(key.signature, "crash | 0xb 0x10");
  EXPECT_EQ(key.title, "SIGSEGV at 0x10");
}

TEST(ErrorGroupKey, TypeNameAndFirstLinesWithoutAddresses) {
  const struct {
    const char* name;
    const char* stack;
    const char* signature;
  } kCases[] = {
      {"plain lines", "main.lua:10\nmain.lua:20", "error | 107 | LuaError | main.lua:10 | main.lua:20"},
      {"only the first three non-empty lines", "a\n\n  b  \r\nc\nd", "error | 107 | LuaError | a | b | c"},
      {"0x addresses", "at 0x7ff6a1b2c3d4 in Foo\nat 0X1234 in Bar", "error | 107 | LuaError | at ? in Foo | at ? in Bar"},
      {"bare hex addresses of 8 digits or more", "frame 00007FF6A1B2C3D4 game+12\nid deadbeef", "error | 107 | LuaError | frame ? game+12 | id ?"},
      {"short hex words and words containing hex stay", "add cafe 1234567 abcdefgh", "error | 107 | LuaError | add cafe 1234567 abcdefgh"},
      {"empty stack", "", "error | 107 | LuaError"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorGroupKey("107", "LuaError", c.stack).signature, c.signature);
  }
  // Two reports of one error from different load addresses share a group.
  EXPECT_EQ(ErrorGroupKey("107", "E", "at 0x7ff600001000").signature, ErrorGroupKey("107", "E", "at 0x7ff700001000").signature);
  // Type and name tell errors apart.
  EXPECT_NE(ErrorGroupKey("107", "E", "x").signature, ErrorGroupKey("108", "E", "x").signature);
  EXPECT_NE(ErrorGroupKey("107", "E", "x").signature, ErrorGroupKey("107", "F", "x").signature);
  EXPECT_EQ(ErrorGroupKey("107", "LuaError", "main.lua:10\n").title, "LuaError at main.lua:10");
}

TEST(ExceptionCodeName, WindowsCodesSignalsAndUnknown) {
  EXPECT_EQ(ExceptionCodeName(0xC0000005), "EXCEPTION_ACCESS_VIOLATION");
  EXPECT_EQ(ExceptionCodeName(0xC00000FD), "EXCEPTION_STACK_OVERFLOW");
  EXPECT_EQ(ExceptionCodeName(11), "SIGSEGV");
  EXPECT_EQ(ExceptionCodeName(0x12345678), "0x12345678");
}

}  // namespace
}  // namespace collector
