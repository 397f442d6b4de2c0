// Detours placed on real and typical prologues in executable memory: the
// target runs the detour, the trampoline does what the original did, and
// disabling puts every byte back.

#include "crash/hook/hook_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crash/hook/hook_memory.h"
#include "crash/hook/trampoline.h"
#include "crash/prologue_fixtures.h"

namespace vextra_test {
namespace {

using Vextra::hook::AllocateExecutableNear;
using Vextra::hook::BuildTrampoline;
using Vextra::hook::FreeExecutable;
using Vextra::hook::IsExecutableAddress;
using Vextra::hook::TrampolineCode;
using Vextra::hook::TrampolineError;

MsFunction g_original = nullptr;
int g_detour_calls = 0;

// A detour as the crash handlers write them: note the call, run the original.
VX_MS_ABI uint64_t CountingDetour(uint64_t a, uint64_t b) {
  ++g_detour_calls;
  return g_original(a, b);
}

VX_MS_ABI uint64_t ConstantDetour(uint64_t, uint64_t) { return 0xDE7008; }

void ExpectCalls(const PrologueFixture& fixture, FixtureImage& image, MsFunction function) {
  image.ResetData(fixture);
  for (const Call& call : fixture.calls) {
    EXPECT_EQ(function(call.a, call.b), call.result) << "a=" << call.a << " b=" << call.b;
  }
}

class HookEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MH_Initialize(), MH_OK);
    g_original = nullptr;
    g_detour_calls = 0;
  }
  void TearDown() override { EXPECT_EQ(MH_Uninitialize(), MH_OK); }
};

TEST_F(HookEngineTest, DetouredPrologueRunsDetourAndTrampolineRunsOriginal) {
  for (const PrologueFixture& fixture : PrologueFixtures()) {
    SCOPED_TRACE(fixture.name);
    FixtureImage image;
    ASSERT_TRUE(image.ok());
    image.Place(fixture);
    ExpectCalls(fixture, image, image.callable());  // the fixture itself is sound

    void* trampoline = nullptr;
    ASSERT_EQ(MH_CreateHook(image.function(), reinterpret_cast<void*>(&CountingDetour), &trampoline),
              MH_OK);
    ASSERT_NE(trampoline, nullptr);
    g_original = reinterpret_cast<MsFunction>(trampoline);
    EXPECT_TRUE(std::equal(fixture.function.begin(), fixture.function.end(), image.function()))
        << "creating must not touch the target";

    ASSERT_EQ(MH_EnableHook(image.function()), MH_OK);
    EXPECT_EQ(image.function()[0], 0xE9);
    ExpectCalls(fixture, image, image.callable());
    EXPECT_EQ(g_detour_calls, static_cast<int>(fixture.calls.size()));

    g_detour_calls = 0;
    ExpectCalls(fixture, image, g_original);  // the trampoline alone
    EXPECT_EQ(g_detour_calls, 0);

    ASSERT_EQ(MH_DisableHook(image.function()), MH_OK);
    EXPECT_TRUE(std::equal(fixture.function.begin(), fixture.function.end(), image.function()))
        << "disabling must restore every byte";
    ExpectCalls(fixture, image, image.callable());
    EXPECT_EQ(g_detour_calls, 0);

    ASSERT_EQ(MH_RemoveHook(image.function()), MH_OK);
    EXPECT_FALSE(IsExecutableAddress(trampoline)) << "the only trampoline's memory is released";
    EXPECT_EQ(MH_RemoveHook(image.function()), MH_ERROR_NOT_CREATED);
  }
}

// The engine patches 5 bytes; a 14-byte absolute patch and the whole real
// prologue copy more instructions (the rip-relative lea and the call rel32 of
// RtlExitUserProcess, both je of IsBadReadPtr, the cookie load). Trampolines
// built for those sizes must run the original too.
TEST(TrampolineRun, LongerCopiesRunTheOriginal) {
  for (const PrologueFixture& fixture : PrologueFixtures()) {
    FixtureImage image;
    ASSERT_TRUE(image.ok());
    auto* memory = static_cast<uint8_t*>(AllocateExecutableNear(image.function(), 0x10000));
    ASSERT_NE(memory, nullptr);
    for (const size_t patch : {size_t{5}, size_t{14}, fixture.real_bytes}) {
      SCOPED_TRACE(std::string(fixture.name) + ", patch " + std::to_string(patch));
      image.Place(fixture);
      TrampolineCode code;
      ASSERT_EQ(BuildTrampoline(image.function(), fixture.function.size(),
                                reinterpret_cast<uint64_t>(image.function()),
                                reinterpret_cast<uint64_t>(memory), patch, &code),
                TrampolineError::kNone);
      EXPECT_TRUE(code.copied >= patch || code.ends_function);
      std::memcpy(memory, code.code, code.size);
      ExpectCalls(fixture, image, reinterpret_cast<MsFunction>(memory));
    }
    FreeExecutable(memory, 0x10000);
  }
}

// A branch between copied instructions must land on the copy, not the original.
TEST(TrampolineRun, BranchInsideTheCopyIsRetargeted) {
  const std::vector<uint8_t> function = {
      0x31, 0xC0,  // xor eax,eax
      0x85, 0xC9,  // test ecx,ecx
      0x74, 0x02,  // je +2
      0xFF, 0xC0,  // inc eax
      0xFF, 0xC0,  // inc eax
      0xC3};
  FixtureImage image;
  ASSERT_TRUE(image.ok());
  auto* memory = static_cast<uint8_t*>(AllocateExecutableNear(image.function(), 0x10000));
  ASSERT_NE(memory, nullptr);
  for (const size_t patch : {size_t{5}, size_t{8}, size_t{9}}) {
    SCOPED_TRACE(patch);
    std::memcpy(image.function(), function.data(), function.size());
    TrampolineCode code;
    ASSERT_EQ(BuildTrampoline(image.function(), function.size(),
                              reinterpret_cast<uint64_t>(image.function()),
                              reinterpret_cast<uint64_t>(memory), patch, &code),
              TrampolineError::kNone);
    std::memcpy(memory, code.code, code.size);
    // The copied bytes of the original trap: only the jump back past them
    // (or a branch beyond them) may leave the trampoline.
    std::memset(image.function(), 0xCC, code.copied);
    const auto run = reinterpret_cast<MsFunction>(memory);
    EXPECT_EQ(run(0, 0), 1u);
    EXPECT_EQ(run(1, 0), 2u);
  }
  FreeExecutable(memory, 0x10000);
}

TEST_F(HookEngineTest, StatusesForMisuse) {
  const PrologueFixture fixture = PrologueFixtures()[5];
  FixtureImage image;
  ASSERT_TRUE(image.ok());
  image.Place(fixture);
  void* target = image.function();
  void* detour = reinterpret_cast<void*>(&ConstantDetour);

  EXPECT_EQ(MH_Initialize(), MH_ERROR_ALREADY_INITIALIZED);
  EXPECT_EQ(MH_EnableHook(target), MH_ERROR_NOT_CREATED);
  EXPECT_EQ(MH_DisableHook(target), MH_ERROR_NOT_CREATED);
  EXPECT_EQ(MH_RemoveHook(target), MH_ERROR_NOT_CREATED);

  ASSERT_EQ(MH_CreateHook(target, detour, nullptr), MH_OK);
  EXPECT_EQ(MH_CreateHook(target, detour, nullptr), MH_ERROR_ALREADY_CREATED);
  EXPECT_EQ(MH_DisableHook(target), MH_ERROR_DISABLED);
  ASSERT_EQ(MH_EnableHook(target), MH_OK);
  EXPECT_EQ(MH_EnableHook(target), MH_ERROR_ENABLED);
  EXPECT_EQ(image.callable()(1, 2), 0xDE7008u);
  // Removing an enabled hook restores the target first.
  ASSERT_EQ(MH_RemoveHook(target), MH_OK);
  EXPECT_TRUE(std::equal(fixture.function.begin(), fixture.function.end(), image.function()));
  EXPECT_EQ(image.callable()(1, 2), 3u);

  std::vector<uint8_t> data(64, 0x90);
  EXPECT_EQ(MH_CreateHook(data.data(), detour, nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(target, data.data(), nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(nullptr, detour, nullptr), MH_ERROR_NOT_EXECUTABLE);

  const uint8_t vex_prologue[] = {0xC5, 0xF8, 0x77, 0xC3};  // vzeroupper; ret
  std::memcpy(image.function(), vex_prologue, sizeof vex_prologue);
  EXPECT_EQ(MH_CreateHook(target, detour, nullptr), MH_ERROR_UNSUPPORTED_FUNCTION);
  const uint8_t short_function[] = {0x31, 0xC0, 0xC3, 0x48, 0x8B, 0xC4};  // xor; ret; next function
  std::memcpy(image.function(), short_function, sizeof short_function);
  EXPECT_EQ(MH_CreateHook(target, detour, nullptr), MH_ERROR_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(MH_EnableHook(target), MH_ERROR_NOT_CREATED) << "a refused hook is not kept";
}

TEST(HookEngineUninitialized, EveryCallIsRefused) {
  FixtureImage image;
  ASSERT_TRUE(image.ok());
  image.Place(PrologueFixtures()[5]);
  void* detour = reinterpret_cast<void*>(&ConstantDetour);
  EXPECT_EQ(MH_Uninitialize(), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_CreateHook(image.function(), detour, nullptr), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_EnableHook(image.function()), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_RemoveHook(image.function()), MH_ERROR_NOT_INITIALIZED);
}

TEST_F(HookEngineTest, AllHooksSwitchTogetherAndUninitializeRestores) {
  const std::vector<PrologueFixture> fixtures = PrologueFixtures();
  FixtureImage first, second;
  ASSERT_TRUE(first.ok() && second.ok());
  first.Place(fixtures[3]);
  second.Place(fixtures[6]);
  void* detour = reinterpret_cast<void*>(&ConstantDetour);
  ASSERT_EQ(MH_CreateHook(first.function(), detour, nullptr), MH_OK);
  ASSERT_EQ(MH_CreateHook(second.function(), detour, nullptr), MH_OK);

  ASSERT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_EQ(first.callable()(5, 0), 0xDE7008u);
  EXPECT_EQ(second.callable()(7, 0), 0xDE7008u);
  EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK) << "nothing left to enable is no error";

  ASSERT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_TRUE(std::equal(fixtures[3].function.begin(), fixtures[3].function.end(), first.function()));
  EXPECT_TRUE(std::equal(fixtures[6].function.begin(), fixtures[6].function.end(), second.function()));

  ASSERT_EQ(MH_EnableHook(first.function()), MH_OK);
  ASSERT_EQ(MH_Uninitialize(), MH_OK);
  EXPECT_TRUE(std::equal(fixtures[3].function.begin(), fixtures[3].function.end(), first.function()));
  EXPECT_EQ(first.callable()(5, 0), kLoaderSection + 5);
  EXPECT_EQ(MH_EnableHook(first.function()), MH_ERROR_NOT_INITIALIZED);
  ASSERT_EQ(MH_Initialize(), MH_OK);  // for TearDown
  EXPECT_EQ(MH_EnableHook(first.function()), MH_ERROR_NOT_CREATED) << "uninitialise forgets hooks";
}

TEST(HookMemory, NearAllocationIsWithinReach) {
  FixtureImage image;
  ASSERT_TRUE(image.ok());
  void* block = AllocateExecutableNear(image.function(), Vextra::hook::kNearBlockSize);
  ASSERT_NE(block, nullptr);
  const uint64_t a = reinterpret_cast<uint64_t>(block), b = reinterpret_cast<uint64_t>(image.function());
  EXPECT_LT(a > b ? a - b : b - a, Vextra::hook::kNearRange);
  EXPECT_TRUE(IsExecutableAddress(block));
  FreeExecutable(block, Vextra::hook::kNearBlockSize);
  EXPECT_FALSE(IsExecutableAddress(block));
}

}  // namespace
}  // namespace vextra_test
