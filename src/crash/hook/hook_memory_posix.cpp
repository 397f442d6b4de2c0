#include "crash/hook/hook_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace Vextra::hook {
namespace {

constexpr int kCodeProtection = PROT_READ | PROT_WRITE | PROT_EXEC;

uint64_t PageSize() { return static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }

// Protection of the mapping holding `address`, from /proc/self/maps; -1 when
// the address is not mapped.
int ProtectionAt(uint64_t address) {
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return -1;
  int protection = -1;
  char line[512];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    uint64_t start = 0, end = 0;
    char perms[8] = {};
    if (std::sscanf(line, "%" SCNx64 "-%" SCNx64 " %4s", &start, &end, perms) != 3) continue;
    if (address >= start && address < end) {
      protection = (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
                   (perms[2] == 'x' ? PROT_EXEC : 0);
      break;
    }
  }
  std::fclose(maps);
  return protection;
}

void* MapAt(uint64_t address, size_t size, int extra_flags) {
  void* p = mmap(reinterpret_cast<void*>(address), size, kCodeProtection,
                 MAP_PRIVATE | MAP_ANONYMOUS | extra_flags, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

void* AllocateExecutableNear(const void* origin, size_t size) {
  if (origin == nullptr) return MapAt(0, size, 0);
  const uint64_t center = reinterpret_cast<uint64_t>(origin) & ~uint64_t{kNearBlockSize - 1};
  const uint64_t low = center > kNearRange ? center - kNearRange + kNearBlockSize : kNearBlockSize;
  const uint64_t high = center + kNearRange - size - kNearBlockSize;
  // Candidates alternate below and above the origin, nearest first.
  for (uint64_t step = kNearBlockSize; step < kNearRange; step += kNearBlockSize) {
    for (const uint64_t candidate : {center - step, center + step}) {
      if (candidate < low || candidate > high) continue;
      void* p = MapAt(candidate, size, MAP_FIXED_NOREPLACE);
      if (p == nullptr) continue;
      if (reinterpret_cast<uint64_t>(p) == candidate) return p;
      munmap(p, size);  // a kernel without MAP_FIXED_NOREPLACE took it as a hint
    }
  }
  return nullptr;
}

void FreeExecutable(void* block, size_t size) { munmap(block, size); }

bool IsExecutableAddress(const void* address) {
  const int protection = ProtectionAt(reinterpret_cast<uint64_t>(address));
  return protection >= 0 && (protection & PROT_EXEC) != 0;
}

bool WriteCode(void* address, const void* bytes, size_t size) {
  const uint64_t page = PageSize();
  const uint64_t first = reinterpret_cast<uint64_t>(address) & ~(page - 1);
  const uint64_t last = (reinterpret_cast<uint64_t>(address) + size - 1) & ~(page - 1);
  int saved[2] = {ProtectionAt(first), ProtectionAt(last)};
  if (saved[0] < 0 || saved[1] < 0) return false;
  if (mprotect(reinterpret_cast<void*>(first), last - first + page, kCodeProtection) != 0) {
    return false;
  }
  std::memcpy(address, bytes, size);
  mprotect(reinterpret_cast<void*>(first), page, saved[0]);
  if (last != first) mprotect(reinterpret_cast<void*>(last), page, saved[1]);
  __builtin___clear_cache(static_cast<char*>(address), static_cast<char*>(address) + size);
  return true;
}

OtherThreadsPaused::OtherThreadsPaused() = default;
OtherThreadsPaused::~OtherThreadsPaused() = default;
void OtherThreadsPaused::MoveInstructionPointers(InstructionPointerMover, const void*) {}

}  // namespace Vextra::hook
