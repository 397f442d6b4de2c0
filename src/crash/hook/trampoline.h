#pragma once
// Trampolines: the first whole instructions of a function, copied to other
// memory and relocated so that running them there does what they did in place,
// followed by a jump back to the rest of the function. Plain code over byte
// buffers and addresses; nothing here touches live memory.

#include <cstddef>
#include <cstdint>

namespace Vextra::hook {

constexpr size_t kNearJumpSize = 5;       // E9 rel32
constexpr size_t kAbsoluteJumpSize = 14;  // FF 25 00000000, then the 64-bit target
constexpr size_t kTrampolineCapacity = 128;
constexpr size_t kMaxCopiedInstructions = 16;

struct TrampolineCode {
  uint8_t code[kTrampolineCapacity] = {};
  size_t size = 0;    // bytes of `code` in use
  size_t copied = 0;  // bytes of the original covered by whole copied instructions
  // True when a copied jmp or ret ends the function: no jump back follows.
  bool ends_function = false;
  // Start of each copied instruction in the original and in the trampoline.
  size_t boundaries = 0;
  uint8_t old_offsets[kMaxCopiedInstructions] = {};
  uint8_t new_offsets[kMaxCopiedInstructions] = {};
};

enum class TrampolineError {
  kNone,
  kUnknownInstruction,  // the decoder refused an instruction
  kFunctionTooShort,    // it ends before the patch and what follows is not padding
  kBranchIntoInstruction,  // a relative branch lands inside a copied instruction
  kOutOfRange,          // a relocated rip-relative operand does not reach its target
  kTooLong,             // the relocated code does not fit the trampoline
};

// Builds the trampoline for the function whose bytes are at `code` (at most
// `available` readable) and which runs at `source`, to be placed at
// `trampoline`. Copies whole instructions until at least `patch_size` bytes
// are covered, or until a jmp/ret ends the function (then the bytes up to
// `patch_size` must be int3/nop padding). Rip-relative operands get new
// displacements; relative branches that leave the copied bytes become
// absolute jumps and calls, those that stay inside are re-targeted.
TrampolineError BuildTrampoline(const uint8_t* code, size_t available, uint64_t source,
                                uint64_t trampoline, size_t patch_size, TrampolineCode* out);

// True when a rel32 displacement from `next_ip` reaches `target`.
bool FitsRel32(uint64_t next_ip, uint64_t target);
// E9 rel32 from `from` to `to`; false when `to` is out of rel32 range.
bool EncodeNearJump(uint64_t from, uint64_t to, uint8_t out[kNearJumpSize]);
// FF 25 00000000 followed by `to`: reaches any address, uses no register.
void EncodeAbsoluteJump(uint64_t to, uint8_t out[kAbsoluteJumpSize]);

// Where a thread paused at `ip` should go when the patch is written over the
// original at `source` (into the trampoline at `trampoline`), and where one
// paused inside the trampoline should go when the original is restored.
// Addresses not at a copied instruction's start come back unchanged.
uint64_t MoveIpIntoTrampoline(uint64_t ip, uint64_t source, uint64_t trampoline,
                              const TrampolineCode& code);
uint64_t MoveIpOutOfTrampoline(uint64_t ip, uint64_t source, uint64_t trampoline,
                               const TrampolineCode& code);

}  // namespace Vextra::hook
