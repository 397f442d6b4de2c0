#pragma once
// What the detour engine needs from the platform: executable memory near a
// target, writes over code, and a pause of the process's other threads while
// code they may be running is rewritten.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vextra::hook {

// Trampolines stay within 1 GiB of their target: a rel32 jump from the target
// reaches them, and rip-relative operands copied from the target (which point
// near it) stay in reach of the copies.
constexpr uint64_t kNearRange = uint64_t{1} << 30;
// Memory is taken in blocks of the Windows allocation granularity.
constexpr size_t kNearBlockSize = 64 * 1024;

// Reserves and commits `size` bytes, readable, writable and executable, lying
// wholly within kNearRange of `origin` (anywhere when `origin` is null); null
// when no such range is free. Release with FreeExecutable.
void* AllocateExecutableNear(const void* origin, size_t size);
void FreeExecutable(void* block, size_t size);

// True when `address` lies in committed executable memory.
bool IsExecutableAddress(const void* address);

// Copies `size` bytes over code at `address`, lifting its write protection for
// the copy and restoring it afterwards, then flushes the instruction cache.
// False when the protection cannot be changed (nothing is written then).
bool WriteCode(void* address, const void* bytes, size_t size);

// Called with a paused thread's instruction pointer; a different result
// becomes its new instruction pointer. Runs while other threads are paused:
// it must not allocate or take locks.
using InstructionPointerMover = uint64_t (*)(uint64_t ip, const void* context);

// Windows: suspends every other thread of the process for the object's life
// (a thread snapshot taken at construction; threads started later run on).
// POSIX: pauses nothing; the engine is only driven from single-threaded
// tests there, so a plain protected write is enough.
class OtherThreadsPaused {
 public:
  OtherThreadsPaused();
  ~OtherThreadsPaused();
  OtherThreadsPaused(const OtherThreadsPaused&) = delete;
  OtherThreadsPaused& operator=(const OtherThreadsPaused&) = delete;

  // Offers each paused thread's instruction pointer to `mover`.
  void MoveInstructionPointers(InstructionPointerMover mover, const void* context);

 private:
  std::vector<void*> threads_;  // handles of the suspended threads
};

}  // namespace Vextra::hook
