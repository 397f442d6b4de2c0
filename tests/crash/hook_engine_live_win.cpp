// Detours on the running process's own system functions (under Wine, the
// Wine 8 DLLs): a real call reaches the detour and the trampoline returns
// what the system function returns.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "crash/hook/hook_engine.h"
#include "crash/prologue_fixtures.h"

namespace {

using SetFilterFn = LPTOP_LEVEL_EXCEPTION_FILTER(WINAPI*)(LPTOP_LEVEL_EXCEPTION_FILTER);
using IsBadReadPtrFn = BOOL(WINAPI*)(const void*, UINT_PTR);

SetFilterFn g_set_filter_original = nullptr;
IsBadReadPtrFn g_is_bad_read_ptr_original = nullptr;
std::atomic<int> g_set_filter_calls{0};
std::atomic<int> g_is_bad_read_ptr_calls{0};

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetFilterDetour(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  ++g_set_filter_calls;
  return g_set_filter_original(filter);
}

BOOL WINAPI IsBadReadPtrDetour(const void* pointer, UINT_PTR size) {
  ++g_is_bad_read_ptr_calls;
  return g_is_bad_read_ptr_original(pointer, size);
}

LONG WINAPI FilterA(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI FilterB(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

void* Export(const char* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), name));
}

class LiveHookTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MH_Initialize(), MH_OK); }
  void TearDown() override { EXPECT_EQ(MH_Uninitialize(), MH_OK); }
};

TEST_F(LiveHookTest, SetUnhandledExceptionFilterReachesDetourAndOriginal) {
  void* target = Export("kernel32.dll", "SetUnhandledExceptionFilter");
  ASSERT_NE(target, nullptr);
  uint8_t before[16];
  std::memcpy(before, target, sizeof before);
  ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&SetFilterDetour),
                          reinterpret_cast<void**>(&g_set_filter_original)),
            MH_OK);
  ASSERT_EQ(MH_EnableHook(target), MH_OK);

  g_set_filter_calls = 0;
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&FilterA);
  EXPECT_EQ(g_set_filter_calls.load(), 1);
  // The second call returns the first one's filter: the original really ran.
  EXPECT_EQ(SetUnhandledExceptionFilter(&FilterB), &FilterA);
  EXPECT_EQ(g_set_filter_calls.load(), 2);
  EXPECT_EQ(g_set_filter_original(previous), &FilterB);
  EXPECT_EQ(g_set_filter_calls.load(), 2);

  ASSERT_EQ(MH_DisableHook(target), MH_OK);
  EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
  EXPECT_EQ(SetUnhandledExceptionFilter(previous), previous);
  EXPECT_EQ(g_set_filter_calls.load(), 2);
  EXPECT_EQ(MH_RemoveHook(target), MH_OK);
}

TEST_F(LiveHookTest, IsBadReadPtrReachesDetourAndOriginal) {
  void* target = Export("kernel32.dll", "IsBadReadPtr");
  ASSERT_NE(target, nullptr);
  uint8_t before[16];
  std::memcpy(before, target, sizeof before);
  ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&IsBadReadPtrDetour),
                          reinterpret_cast<void**>(&g_is_bad_read_ptr_original)),
            MH_OK);
  ASSERT_EQ(MH_EnableHook(target), MH_OK);

  g_is_bad_read_ptr_calls = 0;
  int readable = 7;
  EXPECT_FALSE(IsBadReadPtr(&readable, sizeof readable));
  // The probe of an unmapped address faults inside the original and is caught
  // there: unwinding passes through the detour's frame.
  EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(16), 4));
  EXPECT_EQ(g_is_bad_read_ptr_calls.load(), 2);

  ASSERT_EQ(MH_DisableHook(target), MH_OK);
  EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
  EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(16), 4));
  EXPECT_EQ(g_is_bad_read_ptr_calls.load(), 2);
  EXPECT_EQ(MH_RemoveHook(target), MH_OK);
}

// Only placed and taken away: its trampoline would end the process.
TEST_F(LiveHookTest, RtlExitUserProcessIsPatchedAndRestored) {
  void* target = Export("ntdll.dll", "RtlExitUserProcess");
  ASSERT_NE(target, nullptr);
  uint8_t before[16];
  std::memcpy(before, target, sizeof before);
  void* trampoline = nullptr;
  ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&IsBadReadPtrDetour), &trampoline), MH_OK);
  ASSERT_EQ(MH_EnableHook(target), MH_OK);
  const auto* patched = static_cast<const uint8_t*>(target);
  EXPECT_EQ(patched[0], 0xE9);
  EXPECT_EQ(std::memcmp(before + 5, patched + 5, sizeof before - 5), 0) << "only the jump is written";
  ASSERT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
  EXPECT_EQ(MH_RemoveHook(target), MH_OK);
}

// Another thread keeps calling the function while it is patched and restored
// over and over; the pause keeps it off the bytes being written.
TEST_F(LiveHookTest, PatchingWhileAnotherThreadCallsTheTarget) {
  void* target = Export("kernel32.dll", "IsBadReadPtr");
  ASSERT_NE(target, nullptr);
  ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&IsBadReadPtrDetour),
                          reinterpret_cast<void**>(&g_is_bad_read_ptr_original)),
            MH_OK);
  g_is_bad_read_ptr_calls = 0;
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0}, wrong{0};
  std::thread caller([&] {
    int readable = 1;
    while (!stop) {
      if (IsBadReadPtr(&readable, sizeof readable)) ++wrong;
      ++calls;
    }
  });
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(MH_EnableHook(target), MH_OK);
    ASSERT_EQ(MH_DisableHook(target), MH_OK);
  }
  stop = true;
  caller.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(calls.load(), 0);
  EXPECT_LE(g_is_bad_read_ptr_calls.load(), calls.load());
  EXPECT_EQ(MH_RemoveHook(target), MH_OK);
}

// A thread spinning inside the bytes being patched: enabling must move it
// into the trampoline (the jump overwrites the loop), disabling must move it
// back (removal frees the trampoline). Unmoved, it would run half a jump.
TEST_F(LiveHookTest, ThreadInsideThePatchedBytesIsMoved) {
  vextra_test::FixtureImage image;
  ASSERT_TRUE(image.ok());
  const uint8_t spin[] = {
      0x8B, 0x01,  // mov eax,[rcx]
      0x85, 0xC0,  // test eax,eax
      0x74, 0xFA,  // je back to the load
      0xC3};
  std::memcpy(image.function(), spin, sizeof spin);
  ASSERT_EQ(MH_CreateHook(image.function(), reinterpret_cast<void*>(&IsBadReadPtrDetour), nullptr),
            MH_OK);
  volatile LONG flag = 0;
  std::atomic<bool> started{false};
  std::thread spinner([&] {
    started = true;
    image.callable()(reinterpret_cast<uint64_t>(&flag), 0);
  });
  while (!started) Sleep(0);
  Sleep(20);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(MH_EnableHook(image.function()), MH_OK);
    Sleep(1);
    ASSERT_EQ(MH_DisableHook(image.function()), MH_OK);
  }
  ASSERT_EQ(MH_EnableHook(image.function()), MH_OK);
  ASSERT_EQ(MH_RemoveHook(image.function()), MH_OK);
  EXPECT_EQ(std::memcmp(image.function(), spin, sizeof spin), 0);
  InterlockedExchange(const_cast<LONG*>(&flag), 1);
  spinner.join();
}

}  // namespace
