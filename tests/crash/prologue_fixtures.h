#pragma once
// Function prologues to detour, each laid out in executable memory together
// with what its rip-relative operands and branches reach, so that running the
// function (or a trampoline made from it) has an effect a test can check.
//
// "Wine 8" fixtures are the bytes of the DLLs shipped with Wine 8 on this
// machine (x86_64-w64-mingw32-objdump -d of .../wine/x86_64-windows/*.dll);
// "Windows" fixtures are the typical prologue shapes of the MSVC-built system
// DLLs of Windows 10 and 11 (kernel32 exports that jump through the import
// table to kernelbase, register saves through rax or r11, the /GS cookie
// load, rex push), with displacements of realistic size rather than the bytes
// of one particular build. Bytes after the prologue are the fixture's own
// ending.

#include <cstdint>
#include <cstring>
#include <vector>

#include "crash/hook/hook_memory.h"

#if defined(__GNUC__)
#define VX_MS_ABI __attribute__((ms_abi))
#else
#define VX_MS_ABI
#endif

namespace vextra_test {

// The fixtures follow the Windows x64 calling convention on every platform.
typedef uint64_t(VX_MS_ABI* MsFunction)(uint64_t, uint64_t);

struct Piece {
  size_t offset;  // from the function's start
  std::vector<uint8_t> bytes;
};
struct PointerSlot {
  size_t offset;     // where the 64-bit address is stored
  size_t points_to;  // the offset it points to
};
struct Call {
  uint64_t a, b, result;
};

struct PrologueFixture {
  const char* name;
  size_t real_bytes;  // leading bytes of `function` that are the prologue itself
  std::vector<uint8_t> function;
  std::vector<Piece> pieces;
  std::vector<PointerSlot> pointers;
  std::vector<Call> calls;  // in order, each from a freshly placed image
};

inline std::vector<uint8_t> Le64(uint64_t value) {
  std::vector<uint8_t> out(8);
  std::memcpy(out.data(), &value, 8);
  return out;
}

constexpr uint64_t kTopFilter = 0x7E57F1173A;
constexpr uint64_t kLoaderSection = 0x5EC7105EC7;
constexpr uint64_t kDefaultGsCookie = 0x2B992DDFA232;

// The body of Wine's kernelbase SetUnhandledExceptionFilter: swaps the filter
// into top_filter and returns the previous one.
inline std::vector<uint8_t> WineKernelbaseSetUnhandledExceptionFilter() {
  return {0x48, 0x8D, 0xA4, 0x24, 0x00, 0x00, 0x00, 0x00,  // lea rsp,[rsp+0]
          0x48, 0x89, 0xC8,                                // mov rax,rcx
          0x48, 0x87, 0x05, 0x76, 0x62, 0x09, 0x00,        // xchg rax,[rip+96276h] (top_filter)
          0xC3,                                            // ret
          0x66, 0x66, 0x2E, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00, 0x66, 0x90};
}

inline std::vector<PrologueFixture> PrologueFixtures() {
  const std::vector<Call> filter_swaps = {
      {0x1111, 0, kTopFilter}, {0x2222, 0, 0x1111}, {0, 0, 0x2222}};
  return {
      {"Wine 8 kernel32 SetUnhandledExceptionFilter: lea rsp,[rsp+0]; jmp [rip+x]",
       24,
       {0x48, 0x8D, 0xA4, 0x24, 0x00, 0x00, 0x00, 0x00,  // lea rsp,[rsp+0]
        0xFF, 0x25, 0xC6, 0xD5, 0x03, 0x00,              // jmp [rip+3D5C6h] (import of kernelbase)
        0x66, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90},
       {{0x100, WineKernelbaseSetUnhandledExceptionFilter()},
        {0x100 + 0x12 + 0x96276, Le64(kTopFilter)}},
       {{14 + 0x3D5C6, 0x100}},
       filter_swaps},
      {"Wine 8 kernelbase SetUnhandledExceptionFilter: lea rsp; mov; xchg [rip+x]; ret",
       32,
       WineKernelbaseSetUnhandledExceptionFilter(),
       {{0x12 + 0x96276, Le64(kTopFilter)}},
       {},
       filter_swaps},
      {"Wine 8 kernel32 IsBadReadPtr: sub rsp,168h; home stores; test; je rel32; je rel8",
       0x25,
       {0x48, 0x81, 0xEC, 0x68, 0x01, 0x00, 0x00,        // sub rsp,168h
        0x48, 0x89, 0x8C, 0x24, 0x70, 0x01, 0x00, 0x00,  // mov [rsp+170h],rcx
        0x48, 0x89, 0x94, 0x24, 0x78, 0x01, 0x00, 0x00,  // mov [rsp+178h],rdx
        0x48, 0x85, 0xD2,                                // test rdx,rdx
        0x0F, 0x84, 0x09, 0x01, 0x00, 0x00,              // je +109h (size 0)
        0x48, 0x85, 0xC9,                                // test rcx,rcx
        0x74, 0x69,                                      // je +69h (null pointer)
        0xB8, 0x33, 0x03, 0x00, 0x00, 0x48, 0x81, 0xC4, 0x68, 0x01, 0x00, 0x00, 0xC3},
       {{0x129, {0xB8, 0x11, 0x01, 0x00, 0x00, 0x48, 0x81, 0xC4, 0x68, 0x01, 0x00, 0x00, 0xC3}},
        {0x8E, {0xB8, 0x22, 0x02, 0x00, 0x00, 0x48, 0x81, 0xC4, 0x68, 0x01, 0x00, 0x00, 0xC3}}},
       {},
       {{0x1000, 0, 0x111}, {0, 8, 0x222}, {0x1000, 8, 0x333}}},
      {"Wine 8 ntdll RtlExitUserProcess: push; sub; mov; lea rcx,[rip+x]; call rel32",
       19,
       {0x53,                                      // push rbx
        0x48, 0x83, 0xEC, 0x20,                    // sub rsp,20h
        0x89, 0xCB,                                // mov ebx,ecx
        0x48, 0x8D, 0x0D, 0x82, 0x77, 0x03, 0x00,  // lea rcx,[rip+37782h] (loader_section)
        0xE8, 0xAD, 0xAF, 0x02, 0x00,              // call RtlEnterCriticalSection
        0x48, 0x01, 0xD8, 0x48, 0x83, 0xC4, 0x20, 0x5B, 0xC3},
       {{14 + 0x37782, Le64(kLoaderSection)},
        {19 + 0x2AFAD, {0x48, 0x8B, 0x01, 0xC3}}},  // mov rax,[rcx]; ret
       {},
       {{5, 0, kLoaderSection + 5}, {0x100, 0, kLoaderSection + 0x100}}},
      {"Windows kernel32 export: rex.W jmp [rip+x] to kernelbase, int3 padding",
       16,
       {0x48, 0xFF, 0x25, 0x34, 0x12, 0x06, 0x00,  // jmp [rip+61234h] (__imp_ of kernelbase)
        0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC},
       {{0x800, {0x48, 0x8D, 0x04, 0x11, 0xC3}}},  // lea rax,[rcx+rdx]; ret
       {{7 + 0x61234, 0x800}},
       {{2, 3, 5}, {0x100, 0x23, 0x123}}},
      {"Windows MSVC prologue: mov rax,rsp; saves through rax; push rdi; sub rsp",
       20,
       {0x48, 0x8B, 0xC4,        // mov rax,rsp
        0x48, 0x89, 0x58, 0x08,  // mov [rax+8],rbx
        0x48, 0x89, 0x68, 0x10,  // mov [rax+10h],rbp
        0x48, 0x89, 0x70, 0x18,  // mov [rax+18h],rsi
        0x57,                    // push rdi
        0x48, 0x83, 0xEC, 0x20,  // sub rsp,20h
        0x48, 0x8D, 0x04, 0x11, 0x48, 0x83, 0xC4, 0x20, 0x5F, 0x48, 0x8B, 0x5C, 0x24, 0x08,
        0x48, 0x8B, 0x6C, 0x24, 0x10, 0x48, 0x8B, 0x74, 0x24, 0x18, 0xC3},
       {},
       {},
       {{2, 3, 5}, {40, 2, 42}}},
      {"Windows MSVC prologue: mov r11,rsp; saves through r11; /GS cookie from [rip+x]",
       31,
       {0x4C, 0x8B, 0xDC,                          // mov r11,rsp
        0x49, 0x89, 0x5B, 0x08,                    // mov [r11+8],rbx
        0x49, 0x89, 0x73, 0x10,                    // mov [r11+10h],rsi
        0x57,                                      // push rdi
        0x48, 0x83, 0xEC, 0x50,                    // sub rsp,50h
        0x48, 0x8B, 0x05, 0xA9, 0xE1, 0x05, 0x00,  // mov rax,[rip+5E1A9h] (__security_cookie)
        0x48, 0x33, 0xC4,                          // xor rax,rsp
        0x48, 0x89, 0x44, 0x24, 0x40,              // mov [rsp+40h],rax
        0x48, 0x8B, 0x44, 0x24, 0x40, 0x48, 0x33, 0xC4, 0x48, 0x01, 0xC8, 0x48, 0x83, 0xC4, 0x50,
        0x5F, 0x48, 0x8B, 0x5C, 0x24, 0x08, 0x48, 0x8B, 0x74, 0x24, 0x10, 0xC3},
       {{23 + 0x5E1A9, Le64(kDefaultGsCookie)}},
       {},
       {{7, 0, kDefaultGsCookie + 7}}},
      {"Windows MSVC prologue: rex push rbx; sub rsp,20h; mov ebx,ecx; call rel32",
       13,
       {0x40, 0x53,                    // push rbx
        0x48, 0x83, 0xEC, 0x20,        // sub rsp,20h
        0x8B, 0xD9,                    // mov ebx,ecx
        0xE8, 0x1B, 0x3F, 0x00, 0x00,  // call +3F1Bh
        0x8D, 0x04, 0x18, 0x48, 0x83, 0xC4, 0x20, 0x5B, 0xC3},
       {{13 + 0x3F1B, {0xB8, 0x00, 0x07, 0x00, 0x00, 0xC3}}},  // mov eax,700h; ret
       {},
       {{5, 0, 0x705}}},
  };
}

// One megabyte of executable memory holding one fixture at kFunctionOffset.
class FixtureImage {
 public:
  static constexpr size_t kSize = 1 << 20;
  static constexpr size_t kFunctionOffset = 0x1000;

  FixtureImage()
      : base_(static_cast<uint8_t*>(Vextra::hook::AllocateExecutableNear(nullptr, kSize))) {}
  ~FixtureImage() {
    if (base_ != nullptr) Vextra::hook::FreeExecutable(base_, kSize);
  }
  FixtureImage(const FixtureImage&) = delete;
  FixtureImage& operator=(const FixtureImage&) = delete;

  bool ok() const { return base_ != nullptr; }
  uint8_t* function() const { return base_ + kFunctionOffset; }
  MsFunction callable() const { return reinterpret_cast<MsFunction>(function()); }

  // Writes the function and everything it reaches.
  void Place(const PrologueFixture& fixture) {
    std::memcpy(function(), fixture.function.data(), fixture.function.size());
    ResetData(fixture);
  }
  // Writes what the function reaches (stubs, data, pointers) afresh, leaving
  // the function's own bytes as they are (patched or not).
  void ResetData(const PrologueFixture& fixture) {
    for (const Piece& piece : fixture.pieces) {
      std::memcpy(function() + piece.offset, piece.bytes.data(), piece.bytes.size());
    }
    for (const PointerSlot& slot : fixture.pointers) {
      const uint64_t address = reinterpret_cast<uint64_t>(function() + slot.points_to);
      std::memcpy(function() + slot.offset, &address, 8);
    }
  }

 private:
  uint8_t* base_;
};

}  // namespace vextra_test
