#include "crash/hook/x64_length_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Vextra::hook {
namespace {

enum Flow : uint8_t { kFalls, kEnds };

struct DecodeCase {
  const char* what;
  std::vector<uint8_t> bytes;  // the instruction, possibly followed by other bytes
  uint8_t length;
  bool rip_relative;
  uint8_t disp_offset;
  BranchKind branch;
  int32_t branch_disp;
  Flow flow;
  bool padding;
};

TEST(X64LengthDecoder, PrologueInstructions) {
  const BranchKind N = BranchKind::kNone;
  const DecodeCase cases[] = {
      {"push rbx", {0x53, 0x48}, 1, false, 0, N, 0, kFalls, false},
      {"rex push rbx", {0x40, 0x53}, 2, false, 0, N, 0, kFalls, false},
      {"push r12", {0x41, 0x54}, 2, false, 0, N, 0, kFalls, false},
      {"pop rdi", {0x5F}, 1, false, 0, N, 0, kFalls, false},
      {"sub rsp,20h", {0x48, 0x83, 0xEC, 0x20}, 4, false, 0, N, 0, kFalls, false},
      {"sub rsp,168h", {0x48, 0x81, 0xEC, 0x68, 0x01, 0x00, 0x00}, 7, false, 0, N, 0, kFalls, false},
      {"add rsp,imm32", {0x48, 0x81, 0xC4, 0x00, 0x10, 0x00, 0x00}, 7, false, 0, N, 0, kFalls, false},
      {"mov rax,rsp", {0x48, 0x8B, 0xC4}, 3, false, 0, N, 0, kFalls, false},
      {"mov r11,rsp", {0x4C, 0x8B, 0xDC}, 3, false, 0, N, 0, kFalls, false},
      {"mov [rax+8],rbx", {0x48, 0x89, 0x58, 0x08}, 4, false, 0, N, 0, kFalls, false},
      {"mov [rsp+8],rbx (SIB disp8)", {0x48, 0x89, 0x5C, 0x24, 0x08}, 5, false, 0, N, 0, kFalls, false},
      {"mov [rsp+170h],rcx (SIB disp32)",
       {0x48, 0x89, 0x8C, 0x24, 0x70, 0x01, 0x00, 0x00}, 8, false, 0, N, 0, kFalls, false},
      {"lea rsp,[rsp+0] (Wine hot-patch)",
       {0x48, 0x8D, 0xA4, 0x24, 0x00, 0x00, 0x00, 0x00}, 8, false, 0, N, 0, kFalls, false},
      {"lea rcx,[rip+x]", {0x48, 0x8D, 0x0D, 0x82, 0x77, 0x03, 0x00}, 7, true, 3, N, 0, kFalls, false},
      {"mov rax,[rip+cookie]", {0x48, 0x8B, 0x05, 0xA9, 0xE1, 0x05, 0x00}, 7, true, 3, N, 0, kFalls, false},
      {"xchg rax,[rip+x]", {0x48, 0x87, 0x05, 0x76, 0x62, 0x09, 0x00}, 7, true, 3, N, 0, kFalls, false},
      {"testb [rip+x],8 (imm after disp)",
       {0xF6, 0x05, 0x67, 0x78, 0x03, 0x00, 0x08}, 7, true, 2, N, 0, kFalls, false},
      {"mov dword [rip+x],imm32",
       {0xC7, 0x05, 1, 2, 3, 4, 5, 6, 7, 8}, 10, true, 2, N, 0, kFalls, false},
      {"mov r8d,[rip+x]", {0x44, 0x8B, 0x05, 0x2A, 0x5A, 0x05, 0x00}, 7, true, 3, N, 0, kFalls, false},
      {"test byte [7FFE0308h],1 (SIB, no base)",
       {0xF6, 0x04, 0x25, 0x08, 0x03, 0xFE, 0x7F, 0x01}, 8, false, 0, N, 0, kFalls, false},
      {"mov r10,rcx", {0x4C, 0x8B, 0xD1}, 3, false, 0, N, 0, kFalls, false},
      {"mov eax,imm32", {0xB8, 0x2C, 0x00, 0x00, 0x00}, 5, false, 0, N, 0, kFalls, false},
      {"mov ax,imm16", {0x66, 0xB8, 0x2C, 0x00}, 4, false, 0, N, 0, kFalls, false},
      {"mov rax,imm64", {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10, false, 0, N, 0, kFalls, false},
      {"mov rcx,-1 (C7 sign-extended)",
       {0x48, 0xC7, 0xC1, 0xFF, 0xFF, 0xFF, 0xFF}, 7, false, 0, N, 0, kFalls, false},
      {"mov ebx,ecx", {0x89, 0xCB}, 2, false, 0, N, 0, kFalls, false},
      {"xor eax,eax", {0x33, 0xC0}, 2, false, 0, N, 0, kFalls, false},
      {"xor rax,rsp", {0x48, 0x33, 0xC4}, 3, false, 0, N, 0, kFalls, false},
      {"test rdx,rdx", {0x48, 0x85, 0xD2}, 3, false, 0, N, 0, kFalls, false},
      {"cmp dword [rsi],C0000005h",
       {0x81, 0x3E, 0x05, 0x00, 0x00, 0xC0}, 6, false, 0, N, 0, kFalls, false},
      {"cmp al,imm8", {0x3C, 0x01}, 2, false, 0, N, 0, kFalls, false},
      {"test eax,imm32 (A9)", {0xA9, 1, 2, 3, 4}, 5, false, 0, N, 0, kFalls, false},
      {"test byte [rcx],1 (F6 /0 has imm8)", {0xF6, 0x01, 0x01}, 3, false, 0, N, 0, kFalls, false},
      {"not dword [rcx] (F7 /2 has none)", {0xF7, 0x11, 0x90}, 2, false, 0, N, 0, kFalls, false},
      {"test ecx,imm32 (F7 /0)", {0xF7, 0xC1, 1, 2, 3, 4}, 6, false, 0, N, 0, kFalls, false},
      {"test cx,imm16 (66 F7 /0)", {0x66, 0xF7, 0xC1, 1, 2}, 5, false, 0, N, 0, kFalls, false},
      {"mov rax,gs:[30h]",
       {0x65, 0x48, 0x8B, 0x04, 0x25, 0x30, 0x00, 0x00, 0x00}, 9, false, 0, N, 0, kFalls, false},
      {"movups [rsp+2A0h],xmm6",
       {0x0F, 0x11, 0xB4, 0x24, 0xA0, 0x02, 0x00, 0x00}, 8, false, 0, N, 0, kFalls, false},
      {"movq xmm0,rdx", {0x66, 0x48, 0x0F, 0x6E, 0xC2}, 5, false, 0, N, 0, kFalls, false},
      {"movzx eax,byte [rcx]", {0x0F, 0xB6, 0x01}, 3, false, 0, N, 0, kFalls, false},
      {"pshufd xmm0,xmm1,0 (imm8)", {0x66, 0x0F, 0x70, 0xC1, 0x00}, 5, false, 0, N, 0, kFalls, false},
      {"pshufb xmm0,xmm1 (0F 38)", {0x66, 0x0F, 0x38, 0x00, 0xC1}, 5, false, 0, N, 0, kFalls, false},
      {"lock cmpxchg [rcx],edx", {0xF0, 0x0F, 0xB1, 0x11}, 4, false, 0, N, 0, kFalls, false},
      {"endbr64", {0xF3, 0x0F, 0x1E, 0xFA, 0x55}, 4, false, 0, N, 0, kFalls, false},
      {"syscall", {0x0F, 0x05}, 2, false, 0, N, 0, kFalls, false},
      {"int 2Eh", {0xCD, 0x2E}, 2, false, 0, N, 0, kFalls, false},
      {"enter 10h,0", {0xC8, 0x10, 0x00, 0x00}, 4, false, 0, N, 0, kFalls, false},
      {"mov rax,[moffs64]", {0x48, 0xA1, 1, 2, 3, 4, 5, 6, 7, 8}, 10, false, 0, N, 0, kFalls, false},
      {"call [rip+x]", {0xFF, 0x15, 0x10, 0x00, 0x00, 0x00}, 6, true, 2, N, 0, kFalls, false},
      {"call rax", {0xFF, 0xD0}, 2, false, 0, N, 0, kFalls, false},
      // Control transfers.
      {"jmp [rip+x] (Wine import thunk)", {0xFF, 0x25, 0xC6, 0xD5, 0x03, 0x00}, 6, true, 2, N, 0, kEnds, false},
      {"rex.W jmp [rip+x] (kernel32 forwarder)",
       {0x48, 0xFF, 0x25, 0x34, 0x12, 0x06, 0x00}, 7, true, 3, N, 0, kEnds, false},
      {"jmp rax", {0xFF, 0xE0}, 2, false, 0, N, 0, kEnds, false},
      {"ret", {0xC3, 0xCC}, 1, false, 0, N, 0, kEnds, false},
      {"bnd ret", {0xF2, 0xC3}, 2, false, 0, N, 0, kEnds, false},
      {"ret 8", {0xC2, 0x08, 0x00}, 3, false, 0, N, 0, kEnds, false},
      {"jmp rel8 back", {0xEB, 0xF0}, 2, false, 0, BranchKind::kJmp, -16, kEnds, false},
      {"jmp rel32", {0xE9, 0x00, 0x01, 0x00, 0x00}, 5, false, 0, BranchKind::kJmp, 0x100, kEnds, false},
      {"call rel32 back", {0xE8, 0x7F, 0xCB, 0xFD, 0xFF}, 5, false, 0, BranchKind::kCall, -0x23481, kFalls, false},
      {"je rel8", {0x74, 0x69}, 2, false, 0, BranchKind::kJcc, 0x69, kFalls, false},
      {"jne rel8 back", {0x75, 0xF0}, 2, false, 0, BranchKind::kJcc, -16, kFalls, false},
      {"je rel32", {0x0F, 0x84, 0x09, 0x01, 0x00, 0x00}, 6, false, 0, BranchKind::kJcc, 0x109, kFalls, false},
      // Padding between functions.
      {"int3", {0xCC}, 1, false, 0, N, 0, kFalls, true},
      {"nop", {0x90}, 1, false, 0, N, 0, kFalls, true},
      {"xchg ax,ax", {0x66, 0x90}, 2, false, 0, N, 0, kFalls, true},
      {"nop dword [rax+rax+0]", {0x0F, 0x1F, 0x44, 0x00, 0x00}, 5, false, 0, N, 0, kFalls, true},
      {"data16 cs nopw [rax+rax+0]",
       {0x66, 0x66, 0x2E, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00}, 11, false, 0, N, 0, kFalls, true},
      {"xchg eax,r8d is no nop", {0x41, 0x90}, 2, false, 0, N, 0, kFalls, false},
      {"pause is no nop", {0xF3, 0x90}, 2, false, 0, N, 0, kFalls, false},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.what);
    X64Instruction ins;
    ASSERT_TRUE(DecodeX64Instruction(c.bytes.data(), c.bytes.size(), &ins));
    EXPECT_EQ(ins.length, c.length);
    EXPECT_EQ(ins.rip_relative, c.rip_relative);
    if (c.rip_relative) EXPECT_EQ(ins.disp_offset, c.disp_offset);
    EXPECT_EQ(ins.branch, c.branch);
    EXPECT_EQ(ins.branch_disp, c.branch_disp);
    EXPECT_EQ(ins.ends_flow, c.flow == kEnds);
    EXPECT_EQ(ins.is_padding, c.padding);
  }
}

TEST(X64LengthDecoder, JccKeepsItsCondition) {
  for (uint8_t cc = 0; cc < 16; ++cc) {
    SCOPED_TRACE(static_cast<int>(cc));
    const uint8_t short_form[] = {static_cast<uint8_t>(0x70 | cc), 0x10};
    const uint8_t near_form[] = {0x0F, static_cast<uint8_t>(0x80 | cc), 0x10, 0, 0, 0};
    X64Instruction a, b;
    ASSERT_TRUE(DecodeX64Instruction(short_form, sizeof short_form, &a));
    ASSERT_TRUE(DecodeX64Instruction(near_form, sizeof near_form, &b));
    EXPECT_EQ(a.condition, cc);
    EXPECT_EQ(b.condition, cc);
  }
}

TEST(X64LengthDecoder, RefusesWhatItCannotCopy) {
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"vzeroupper (VEX)", {0xC5, 0xF8, 0x77}},
      {"VEX3 vpbroadcastb", {0xC4, 0xE2, 0x7D, 0x78, 0xC0}},
      {"EVEX", {0x62, 0xF1, 0x7C, 0x48, 0x28, 0xC1}},
      {"loop rel8", {0xE2, 0xFE}},
      {"jrcxz rel8", {0xE3, 0x00}},
      {"16-bit jmp rel16", {0x66, 0xE9, 0x00, 0x00}},
      {"16-bit jcc", {0x66, 0x0F, 0x84, 0x00, 0x00}},
      {"far jmp [rsp]", {0xFF, 0x2C, 0x24}},
      {"far call [rax]", {0xFF, 0x18}},
      {"retf", {0xCB}},
      {"iretq", {0x48, 0xCF}},
      {"push es (invalid in 64-bit)", {0x06}},
      {"3DNow! escape", {0x0F, 0x0F, 0xC1, 0x9E}},
      {"eip-relative (67 prefix)", {0x67, 0x8B, 0x05, 0, 0, 0, 0}},
      {"truncated ModRM", {0x48, 0x8B}},
      {"truncated disp32", {0x48, 0x8D, 0x0D, 0x82, 0x77}},
      {"truncated imm64", {0x48, 0xB8, 1, 2, 3}},
      {"truncated jcc rel32", {0x0F, 0x84, 0x09}},
      {"prefixes only", {0x66, 0x66, 0x66}},
      {"longer than 15 bytes", {0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                 0x66, 0x66, 0x66, 0x66, 0x66, 0x90}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    X64Instruction ins;
    EXPECT_FALSE(DecodeX64Instruction(c.bytes.data(), c.bytes.size(), &ins));
  }
}

}  // namespace
}  // namespace Vextra::hook
