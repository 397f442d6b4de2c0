#include "crash/hook/trampoline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crash/prologue_fixtures.h"

namespace Vextra::hook {
namespace {

constexpr uint64_t kSource = 0x7FFA12340000;

int32_t Rel32At(const TrampolineCode& code, size_t offset) {
  int32_t value;
  std::memcpy(&value, code.code + offset, 4);
  return value;
}

uint64_t Abs64At(const TrampolineCode& code, size_t offset) {
  uint64_t value;
  std::memcpy(&value, code.code + offset, 8);
  return value;
}

std::vector<uint8_t> Bytes(const TrampolineCode& code, size_t from, size_t count) {
  return std::vector<uint8_t>(code.code + from, code.code + from + count);
}

TrampolineCode Build(const std::vector<uint8_t>& bytes, uint64_t trampoline, size_t patch) {
  TrampolineCode code;
  EXPECT_EQ(BuildTrampoline(bytes.data(), bytes.size(), kSource, trampoline, patch, &code),
            TrampolineError::kNone);
  return code;
}

// RtlExitUserProcess on Wine 8: push; sub; mov; lea rcx,[rip+x]; call rel32.
const std::vector<uint8_t>& WineRtlExitUserProcess() {
  static const std::vector<uint8_t> bytes = vextra_test::PrologueFixtures()[3].function;
  return bytes;
}

TEST(Trampoline, RipRelativeOperandPointsWhereTheOriginalDid) {
  const uint64_t trampoline = kSource - 0x10000000;
  const TrampolineCode code = Build(WineRtlExitUserProcess(), trampoline, 14);
  EXPECT_EQ(code.copied, 14u);
  EXPECT_FALSE(code.ends_function);
  ASSERT_EQ(code.size, 14u + kAbsoluteJumpSize);
  EXPECT_EQ(Bytes(code, 0, 10), std::vector<uint8_t>(WineRtlExitUserProcess().begin(),
                                                     WineRtlExitUserProcess().begin() + 10));
  // lea rcx,[rip+d]: the copy at trampoline+7 reaches loader_section too.
  EXPECT_EQ(trampoline + 14 + Rel32At(code, 10), kSource + 14 + 0x37782);
  // Then back to the first instruction not copied.
  EXPECT_EQ(Bytes(code, 14, 6), (std::vector<uint8_t>{0xFF, 0x25, 0, 0, 0, 0}));
  EXPECT_EQ(Abs64At(code, 20), kSource + 14);
}

TEST(Trampoline, RelativeBranchesLeavingTheCopyBecomeAbsolute) {
  const uint64_t trampoline = kSource + 0x40000000;
  // The call rel32 of RtlExitUserProcess: call [rip+2]; jmp +8; target.
  const TrampolineCode call = Build(WineRtlExitUserProcess(), trampoline, 19);
  EXPECT_EQ(Bytes(call, 14, 8), (std::vector<uint8_t>{0xFF, 0x15, 0x02, 0, 0, 0, 0xEB, 0x08}));
  EXPECT_EQ(Abs64At(call, 22), kSource + 19 + 0x2AFAD);
  EXPECT_EQ(Abs64At(call, 30 + 6), kSource + 19);

  // je rel32 and je rel8 of IsBadReadPtr: jne over an absolute jump.
  const std::vector<uint8_t> is_bad_read_ptr = vextra_test::PrologueFixtures()[2].function;
  const TrampolineCode jcc = Build(is_bad_read_ptr, trampoline, 0x25);
  ASSERT_EQ(jcc.boundaries, 7u);
  const size_t je32 = jcc.new_offsets[4], je8 = jcc.new_offsets[6];
  EXPECT_EQ(Bytes(jcc, je32, 4), (std::vector<uint8_t>{0x75, 0x0E, 0xFF, 0x25}));
  EXPECT_EQ(Abs64At(jcc, je32 + 8), kSource + 0x129);
  EXPECT_EQ(Bytes(jcc, je8, 4), (std::vector<uint8_t>{0x75, 0x0E, 0xFF, 0x25}));
  EXPECT_EQ(Abs64At(jcc, je8 + 8), kSource + 0x8E);

  // jmp rel8 out of the function: an absolute jump, and the function ends.
  const TrampolineCode jmp = Build({0x31, 0xC0, 0xEB, 0x10, 0xCC, 0xCC}, trampoline, 5);
  EXPECT_TRUE(jmp.ends_function);
  EXPECT_EQ(jmp.size, 2 + kAbsoluteJumpSize);
  EXPECT_EQ(Abs64At(jmp, 2 + 6), kSource + 4 + 0x10);
}

TEST(Trampoline, JumpToTheNextInstructionDoesNotEndTheFunction) {
  // jmp +0 lands on the mov, which must be copied and re-targeted.
  const TrampolineCode code = Build({0xEB, 0x00, 0x48, 0x89, 0xC8, 0xC3}, kSource + 0x1000, 5);
  EXPECT_FALSE(code.ends_function);
  EXPECT_EQ(code.copied, 5u);
  EXPECT_EQ(code.code[0], 0xE9);
  EXPECT_EQ(Rel32At(code, 1), 0) << "lands on the copied mov right after it";
  EXPECT_EQ(Bytes(code, 5, 3), (std::vector<uint8_t>{0x48, 0x89, 0xC8}));
  EXPECT_EQ(Abs64At(code, 8 + 6), kSource + 5);
}

TEST(Trampoline, FunctionEndingEarlyNeedsPaddingUpToThePatch) {
  // The kernel32 forwarder: one 7-byte jmp, int3 after it.
  const std::vector<uint8_t> forwarder = vextra_test::PrologueFixtures()[4].function;
  const TrampolineCode code = Build(forwarder, kSource - 0x1000, 14);
  EXPECT_TRUE(code.ends_function);
  EXPECT_EQ(code.copied, 7u);
  EXPECT_EQ(code.size, 7u) << "nothing follows a jmp that ends the function";
  EXPECT_EQ(kSource - 0x1000 + 7 + Rel32At(code, 3), kSource + 7 + 0x61234);

  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    TrampolineError error;
  } cases[] = {
      {"ret then nops", {0xC3, 0x90, 0x66, 0x90, 0x0F, 0x1F, 0x00}, TrampolineError::kNone},
      {"ret then int3", {0xC3, 0xCC, 0xCC, 0xCC, 0xCC}, TrampolineError::kNone},
      {"ret then the next function", {0xC3, 0x48, 0x8B, 0xC4, 0x90}, TrampolineError::kFunctionTooShort},
      {"ret then too little padding", {0xC3, 0xCC, 0xCC}, TrampolineError::kFunctionTooShort},
      {"jmp over a ret keeps going", {0x74, 0x01, 0xC3, 0x31, 0xC0, 0xC3}, TrampolineError::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TrampolineCode out;
    EXPECT_EQ(BuildTrampoline(c.bytes.data(), c.bytes.size(), kSource, kSource + 0x1000, 5, &out),
              c.error);
  }
}

TEST(Trampoline, RefusesWhatItCannotRelocate) {
  std::vector<uint8_t> pushes(20, 0x53);  // more instructions than a trampoline records
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    uint64_t trampoline;
    size_t patch;
    TrampolineError error;
  } cases[] = {
      {"VEX instruction in the patch", {0x48, 0x8B, 0xC4, 0xC5, 0xF8, 0x77}, kSource + 0x1000, 5,
       TrampolineError::kUnknownInstruction},
      {"branch into the middle of a copied instruction", {0xEB, 0x01, 0x48, 0x89, 0xC8, 0xC3},
       kSource + 0x1000, 5, TrampolineError::kBranchIntoInstruction},
      {"rip-relative operand 4 GiB from the trampoline", WineRtlExitUserProcess(),
       kSource + 0x100000000, 14, TrampolineError::kOutOfRange},
      {"too many instructions", pushes, kSource + 0x1000, 18, TrampolineError::kTooLong},
      {"truncated before the patch is covered", {0x48, 0x83, 0xEC}, kSource + 0x1000, 5,
       TrampolineError::kUnknownInstruction},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TrampolineCode out;
    EXPECT_EQ(BuildTrampoline(c.bytes.data(), c.bytes.size(), kSource, c.trampoline, c.patch, &out),
              c.error);
  }
}

TEST(Trampoline, ThreadsMoveBetweenMatchingInstructionStarts) {
  // rex push; sub; mov; call rel32 (grows to 16 bytes); lea.
  const std::vector<uint8_t> bytes = vextra_test::PrologueFixtures()[7].function;
  const uint64_t trampoline = kSource + 0x2000;
  const TrampolineCode code = Build(bytes, trampoline, 14);
  ASSERT_EQ(code.copied, 16u);
  const struct {
    uint64_t original, copy;
  } starts[] = {{0, 0}, {2, 2}, {6, 6}, {8, 8}, {13, 24}};
  for (const auto& s : starts) {
    SCOPED_TRACE(s.original);
    EXPECT_EQ(MoveIpIntoTrampoline(kSource + s.original, kSource, trampoline, code), trampoline + s.copy);
    EXPECT_EQ(MoveIpOutOfTrampoline(trampoline + s.copy, kSource, trampoline, code), kSource + s.original);
  }
  // Not at an instruction start, or elsewhere: left where it is.
  EXPECT_EQ(MoveIpIntoTrampoline(kSource + 3, kSource, trampoline, code), kSource + 3);
  EXPECT_EQ(MoveIpIntoTrampoline(kSource + 16, kSource, trampoline, code), kSource + 16);
  EXPECT_EQ(MoveIpOutOfTrampoline(trampoline + 10, kSource, trampoline, code), trampoline + 10);
}

TEST(Trampoline, Jumps) {
  uint8_t near[kNearJumpSize];
  ASSERT_TRUE(EncodeNearJump(kSource, kSource - 0x7FFF0000, near));
  int32_t rel;
  std::memcpy(&rel, near + 1, 4);
  EXPECT_EQ(near[0], 0xE9);
  EXPECT_EQ(kSource + 5 + rel, kSource - 0x7FFF0000);
  EXPECT_FALSE(EncodeNearJump(kSource, kSource + 0x80000005, near));
  EXPECT_TRUE(EncodeNearJump(kSource, kSource + 0x80000004, near));
  EXPECT_FALSE(EncodeNearJump(kSource, kSource - 0x80000000, near));
  EXPECT_TRUE(EncodeNearJump(kSource, kSource - 0x7FFFFFFB, near));
}

}  // namespace
}  // namespace Vextra::hook
