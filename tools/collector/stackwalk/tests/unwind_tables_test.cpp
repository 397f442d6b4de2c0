// The two table-driven unwinders on module files made here: what a PE
// function's unwind codes and an ELF function's call frame information say
// about the caller's registers, and that hostile tables end the method with
// a reason instead of a crash, a hang or a wrong frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture_files.h"
#include "stackwalk/eh_frame_unwind.h"
#include "stackwalk/module_image.h"
#include "stackwalk/pe_unwind.h"

namespace collector {
namespace {

using stackwalk_test::PutValue;
using stackwalk_test::Words;

constexpr uint64_t kStack = 0x7000'0000;
constexpr int kRbx = 3, kR12 = 12;

// ---- PE ---------------------------------------------------------------------

constexpr uint64_t kPeBase = 0x1'4000'0000;

// .rdata: one RUNTIME_FUNCTION [0x1000, 0x1100) with its UNWIND_INFO at RVA
// 0x2100, then extra bytes at 0x2200 (a second entry's info, for chains).
std::string PeRdata(const std::vector<uint8_t>& unwind_info, uint32_t unwind_rva = 0x2100) {
  std::string rdata(0x400, '\0');
  PutValue<uint32_t>(&rdata, 0, 0x1000);
  PutValue<uint32_t>(&rdata, 4, 0x1100);
  PutValue<uint32_t>(&rdata, 8, unwind_rva);
  const size_t at = unwind_rva >= 0x2000 && unwind_rva < 0x2400 ? unwind_rva - 0x2000 : 0x100;
  for (size_t i = 0; i < unwind_info.size() && at + i < rdata.size(); ++i) rdata[at + i] = static_cast<char>(unwind_info[i]);
  return rdata;
}

struct PeCase {
  const char* name;
  std::vector<uint8_t> unwind_info;
  uint64_t pc_rva;
  std::vector<uint64_t> stack;  // from kStack
  uint64_t rbp;
  uint64_t caller_rip, caller_rsp;
  int saved_reg;  // -1: none checked
  uint64_t saved_value;
};

TEST(PeUnwind, UnwindCodesGiveTheCallersRegisters) {
  // Prologue: push rbx (ends at 1); sub rsp, 0x20 (ends at 5). Codes last-first.
  const std::vector<uint8_t> push_alloc = {0x01, 5, 2, 0x00, 5, 0x32, 1, 0x30};
  // push rbp (1); sub rsp, 0x20 (5); lea rbp, [rsp + 0x20] (10: SET_FPREG rbp,
  // offset 2 * 16); mov [rsp + 0x10], r12 (15: SAVE_NONVOL r12, 2 * 8 above the frame).
  const std::vector<uint8_t> frame_reg = {0x01, 15, 5, 0x25, 15, 0xC4, 2, 0, 10, 0x03, 5, 0x32, 1, 0x50};
  // sub rsp, 0x1000 (7: ALLOC_LARGE, size/8 in the next slot); push r12 (2).
  const std::vector<uint8_t> alloc_large = {0x01, 7, 3, 0x00, 7, 0x01, 0x00, 0x02, 2, 0xC0};
  // sub rsp, 0x10 (2), chained (after one pad slot) to the entry whose info at
  // 0x2180 holds push rbx (1): every code of the chained entry applies.
  std::vector<uint8_t> chained = {0x21, 2, 1, 0x00, 2, 0x12, 0, 0, 0x00, 0x10, 0, 0, 0x00, 0x11, 0, 0, 0x80, 0x21, 0, 0};
  chained.resize(0x80);
  chained.insert(chained.end(), {0x01, 1, 1, 0x00, 1, 0x30});
  // An interrupt frame: rip at [rsp], rsp at [rsp + 24].
  const std::vector<uint8_t> machine_frame = {0x01, 0, 1, 0x00, 0, 0x0A};
  std::vector<uint64_t> large(0x1000 / 8 + 2, 0);
  large[0x1000 / 8] = 0xAAAA;
  large[0x1000 / 8 + 1] = kPeBase + 0x1234;
  const PeCase kCases[] = {
      {"after the prologue", push_alloc, 0x1050, {0, 0, 0, 0, 0xB0B, kPeBase + 0x1200}, 0, kPeBase + 0x1200,
       kStack + 0x30, kRbx, 0xB0B},
      {"inside the prologue: only the push is undone", push_alloc, 0x1003, {0xB0B, kPeBase + 0x1300}, 0,
       kPeBase + 0x1300, kStack + 0x10, kRbx, 0xB0B},
      {"just after the push: the push is undone", push_alloc, 0x1001, {0xB0B, kPeBase + 0x1310}, 0,
       kPeBase + 0x1310, kStack + 0x10, kRbx, 0xB0B},
      {"at the first instruction: nothing to undo", push_alloc, 0x1000, {kPeBase + 0x1400}, 0, kPeBase + 0x1400,
       kStack + 8, -1, 0},
      // rsp was lowered further than the prologue's 0x20 (alloca): rbp decides.
      {"frame register",
       frame_reg,
       0x1050,
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC12, 0, kStack + 0x100, kPeBase + 0x1500},
       kStack + 0x80,
       kPeBase + 0x1500,
       kStack + 0x90,
       kR12,
       0xC12},
      {"large allocation", alloc_large, 0x1050, large, 0, kPeBase + 0x1234, kStack + 0x1010, kR12, 0xAAAA},
      {"chained entry", chained, 0x1050, {0, 0, 0xB0B, kPeBase + 0x1800}, 0, kPeBase + 0x1800, kStack + 0x20, kRbx,
       0xB0B},
      {"machine frame", machine_frame, 0x1050, {kPeBase + 0x1600, 0x33, 0x246, kStack + 0x80, 0x2B}, 0,
       kPeBase + 0x1600, kStack + 0x80, -1, 0},
  };
  for (const PeCase& c : kCases) {
    SCOPED_TRACE(c.name);
    auto image = ModuleImage::Parse(stackwalk_test::MakePe(std::string(0x400, '\x90'), PeRdata(c.unwind_info), 12));
    ASSERT_EQ(image->kind(), ModuleImage::Kind::kPe);
    PeUnwinder unwinder(image);
    const std::string stack = Words(c.stack);
    DumpMemory memory;
    memory.SetStack(kStack, stack);
    Registers regs;
    for (int i = 0; i < 16; ++i) regs.Set(i, 0x1111 * (i + 1));
    regs.Set(Registers::kRsp, kStack);
    regs.Set(Registers::kRbp, c.rbp);
    regs.Set(Registers::kRip, kPeBase + c.pc_rva);
    std::string why;
    ASSERT_EQ(unwinder.Step(kPeBase, false, memory, &regs, &why), StepOutcome::kCaller) << why;
    EXPECT_EQ(regs.pc(), c.caller_rip);
    EXPECT_EQ(regs.sp(), c.caller_rsp);
    if (c.saved_reg >= 0) EXPECT_EQ(regs.value[c.saved_reg], c.saved_value);
  }
}

TEST(PeUnwind, LeafFunctionsAndEpiloguesReturnThroughTheStackPointer) {
  // 0x1000..0x1100 has unwind codes (push rbx, sub rsp 0x20); its epilogue at
  // 0x1080 is "add rsp, 0x20; pop rbx; ret". 0x1200 has no entry: a leaf.
  std::string code(0x400, '\x90');
  const std::string epilogue = "\x48\x83\xC4\x20\x5B\xC3";
  code.replace(0x80, epilogue.size(), epilogue);
  auto image = ModuleImage::Parse(stackwalk_test::MakePe(code, PeRdata({0x01, 5, 2, 0x00, 5, 0x32, 1, 0x30}), 12));
  PeUnwinder unwinder(image);
  const std::string stack = Words({0, 0, 0, 0, 0xB0B, kPeBase + 0x1700});
  DumpMemory memory;
  memory.SetStack(kStack, stack);
  for (uint64_t pc_rva : {uint64_t{0x1080}, uint64_t{0x1200}}) {
    SCOPED_TRACE(pc_rva);
    Registers regs;
    regs.Set(Registers::kRsp, kStack);
    regs.Set(Registers::kRip, kPeBase + pc_rva);
    std::string why;
    ASSERT_EQ(unwinder.Step(kPeBase, false, memory, &regs, &why), StepOutcome::kCaller) << why;
    if (pc_rva == 0x1080) {
      EXPECT_EQ(regs.pc(), kPeBase + 0x1700);
      EXPECT_EQ(regs.sp(), kStack + 0x30);
      EXPECT_EQ(regs.value[kRbx], 0xB0Bu);
    } else {
      EXPECT_EQ(regs.pc(), 0u);  // [rsp]
      EXPECT_EQ(regs.sp(), kStack + 8);
    }
  }
}

TEST(PeUnwind, HostileUnwindInformationEndsTheMethodWithAReason) {
  std::vector<uint8_t> chain_to_itself = {0x01 | (4 << 3), 0, 0, 0x00};
  for (uint32_t word : {0x1000u, 0x1100u, 0x2100u}) {
    for (int i = 0; i < 4; ++i) chain_to_itself.push_back(static_cast<uint8_t>(word >> (8 * i)));
  }
  const struct {
    const char* name;
    std::vector<uint8_t> unwind_info;
    uint32_t unwind_rva;
    const char* why;
  } kCases[] = {
      {"info outside the file", {}, 0x7FFF'FFF0, "outside the module file"},
      {"chained to itself", chain_to_itself, 0x2100, "chained more than"},
      {"codes running past the list", {0x01, 5, 1, 0x00, 5, 0x01}, 0x2100, "past the end"},
      {"unknown version", {0x07, 0, 0, 0}, 0x2100, "version"},
      {"codes past the end of the file", {0x01, 0, 255, 0}, 0x23FC, "outside the module file"},
      {"a push reading memory the dump lacks", {0x01, 1, 1, 0x00, 1, 0x30}, 0x2100, "did not store"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto image = ModuleImage::Parse(stackwalk_test::MakePe(std::string(0x400, '\x90'), PeRdata(c.unwind_info, c.unwind_rva), 12));
    PeUnwinder unwinder(image);
    DumpMemory memory;  // nothing stored
    Registers regs;
    regs.Set(Registers::kRsp, kStack);
    regs.Set(Registers::kRip, kPeBase + 0x1050);
    std::string why;
    EXPECT_EQ(unwinder.Step(kPeBase, false, memory, &regs, &why), StepOutcome::kFailed);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

// ---- ELF call frame information -------------------------------------------

constexpr uint64_t kElfBase = 0x7F00'0000'0000;

StepOutcome CfiStep(const std::string& instructions, const std::vector<uint64_t>& words, Registers* regs,
                    std::string* why, uint32_t cie_pointer_bias = 0) {
  auto image = ModuleImage::Parse(stackwalk_test::MakeElf(std::string(0x100, '\x90'),
                                                          stackwalk_test::EhFrame(0x1000, 0x100, instructions, cie_pointer_bias)));
  EhFrameUnwinder unwinder(image);
  const std::string stack = Words(words);
  DumpMemory memory;
  memory.SetStack(kStack, stack);
  return unwinder.Step(kElfBase, true, memory, regs, why);
}

TEST(CfiUnwind, RulesAndExpressionsGiveTheCallersRegisters) {
  const std::string push_rbx_sub_40 = std::string("\x41\x0E\x10\x83\x02\x44\x0E\x30", 8);
  // DW_CFA_def_cfa_expression: rsp + 8 + ((rip & 15) >= 11) << 3, as a PLT entry's.
  const std::string plt_like("\x0F\x0B\x77\x08\x80\x00\x3F\x1A\x3B\x2A\x33\x24\x22", 13);
  // DW_CFA_expression rbx: [CFA - 16]; DW_CFA_val_expression r12: CFA + 1.
  const std::string expressions("\x10\x03\x02\x40\x1C\x0E\x30\x16\x0C\x02\x31\x22", 12);
  const struct {
    const char* name;
    std::string instructions;
    uint64_t pc_offset;
    std::vector<uint64_t> stack;
    uint64_t rsp_offset;
    uint64_t caller_rsp;
    uint64_t caller_rip;
    int reg;
    uint64_t value;
  } kCases[] = {
      {"after push and sub", push_rbx_sub_40, 0x1051, {0, 0, 0, 0, 0xB0B, kElfBase + 0x1200}, 0, kStack + 0x30,
       kElfBase + 0x1200, kRbx, 0xB0B},
      {"after the push only", push_rbx_sub_40, 0x1003, {0xB0B, kElfBase + 0x1300}, 0, kStack + 0x10, kElfBase + 0x1300,
       kRbx, 0xB0B},
      // A return address just past the push: the row after it applies.
      {"just after the push", push_rbx_sub_40, 0x1002, {0xB0B, kElfBase + 0x1310}, 0, kStack + 0x10,
       kElfBase + 0x1310, kRbx, 0xB0B},
      {"at entry", push_rbx_sub_40, 0x1001, {kElfBase + 0x1400}, 0, kStack + 8, kElfBase + 0x1400, -1, 0},
      {"expression for the frame, low pc", plt_like, 0x1004, {kElfBase + 0x1500}, 0, kStack + 8, kElfBase + 0x1500,
       -1, 0},
      {"expression for the frame, high pc", plt_like, 0x100D, {0, kElfBase + 0x1600}, 0, kStack + 0x10,
       kElfBase + 0x1600, -1, 0},
      {"register expressions", expressions, 0x1051, {0, 0, 0, 0, 0xB0B, kElfBase + 0x1700}, 0, kStack + 0x30,
       kElfBase + 0x1700, kRbx, 0xB0B},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Registers regs;
    regs.Set(Registers::kRsp, kStack + c.rsp_offset);
    regs.Set(Registers::kRip, kElfBase + c.pc_offset);
    std::string why;
    ASSERT_EQ(CfiStep(c.instructions, c.stack, &regs, &why), StepOutcome::kCaller) << why;
    EXPECT_EQ(regs.sp(), c.caller_rsp);
    EXPECT_EQ(regs.pc(), c.caller_rip);
    if (c.reg >= 0) EXPECT_EQ(regs.value[c.reg], c.value);
  }
  // The val_expression row also gave r12 = CFA + 1.
  Registers regs;
  regs.Set(Registers::kRsp, kStack);
  regs.Set(Registers::kRip, kElfBase + 0x1051);
  std::string why;
  ASSERT_EQ(CfiStep(expressions, {0, 0, 0, 0, 0xB0B, kElfBase + 0x1700}, &regs, &why), StepOutcome::kCaller) << why;
  EXPECT_EQ(regs.value[kR12], kStack + 0x30 + 1);
}

TEST(CfiUnwind, AnUndefinedReturnAddressEndsTheStackAndUncoveredCodeHasNoInformation) {
  Registers regs;
  regs.Set(Registers::kRsp, kStack);
  regs.Set(Registers::kRip, kElfBase + 0x1010);
  std::string why;
  EXPECT_EQ(CfiStep(std::string("\x07\x10", 2), {0, 0}, &regs, &why), StepOutcome::kEnd);
  regs.Set(Registers::kRip, kElfBase + 0x1200);
  EXPECT_EQ(CfiStep("", {0, 0}, &regs, &why), StepOutcome::kNoInfo);
}

TEST(CfiUnwind, HostileInformationEndsTheMethodWithAReason) {
  const struct {
    const char* name;
    std::string instructions;
    uint32_t cie_pointer_bias;
    StepOutcome outcome;
    const char* why;
  } kCases[] = {
      {"unsupported instruction", std::string("\x2D", 1), 0, StepOutcome::kFailed, "unsupported instruction"},
      {"expression branching to itself", std::string("\x0F\x03\x2F\xFD\xFF", 5), 0, StepOutcome::kFailed,
       "too many steps"},
      {"expression branching outside", std::string("\x0F\x03\x2F\x00\x10", 5), 0, StepOutcome::kFailed,
       "outside"},
      {"expression dividing by zero", std::string("\x0F\x03\x31\x30\x1B", 5), 0, StepOutcome::kFailed, "division"},
      {"expression with an empty stack", std::string("\x0F\x01\x22", 3), 0, StepOutcome::kFailed, "bad stack"},
      {"truncated expression", std::string("\x0F\x09\x0E\x01", 4), 0, StepOutcome::kFailed, "truncated"},
      {"state restored never remembered", std::string("\x0B", 1), 0, StepOutcome::kFailed, "never remembered"},
      {"too many states remembered", std::string(40, '\x0A'), 0, StepOutcome::kFailed, "remembered states"},
      {"saved register far outside the stack", std::string("\x83\x80\x80\x04", 4), 0, StepOutcome::kFailed,
       "did not store"},
      {"frame from a register that is not known", std::string("\x0C\x02\x08", 3), 0, StepOutcome::kFailed,
       "not known"},
      {"CIE pointer outside the section", "", 0x1000'0000, StepOutcome::kNoInfo, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Registers regs;
    regs.Set(Registers::kRsp, kStack);
    regs.Set(Registers::kRip, kElfBase + 0x1010);
    std::string why;
    EXPECT_EQ(CfiStep(c.instructions, {0, kElfBase + 0x1800}, &regs, &why, c.cie_pointer_bias), c.outcome);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace collector
