#include "crash/hook/hook_memory.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

namespace Vextra::hook {
namespace {

constexpr DWORD kExecutable =
    PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

void* TryAllocateAt(uint64_t address, size_t size) {
  return VirtualAlloc(reinterpret_cast<void*>(address), size, MEM_RESERVE | MEM_COMMIT,
                      PAGE_EXECUTE_READWRITE);
}

}  // namespace

void* AllocateExecutableNear(const void* origin, size_t size) {
  if (origin == nullptr) return TryAllocateAt(0, size);
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const uint64_t granularity = info.dwAllocationGranularity;
  const uint64_t center = reinterpret_cast<uint64_t>(origin) & ~(granularity - 1);
  const uint64_t app_low = reinterpret_cast<uint64_t>(info.lpMinimumApplicationAddress);
  const uint64_t app_high = reinterpret_cast<uint64_t>(info.lpMaximumApplicationAddress);
  uint64_t low = center > kNearRange ? center - kNearRange + granularity : granularity;
  if (low < app_low) low = app_low;
  uint64_t high = center + kNearRange - size - granularity;
  if (high > app_high - size) high = app_high - size;

  // Downwards: from each occupied region, go on below its allocation base.
  for (uint64_t at = center - granularity; at >= low && at < center;) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region) == 0) break;
    if (region.State == MEM_FREE) {
      if (void* p = TryAllocateAt(at, size)) return p;
    }
    const uint64_t base = reinterpret_cast<uint64_t>(
        region.State == MEM_FREE ? region.BaseAddress : region.AllocationBase);
    const uint64_t next = (base & ~(granularity - 1)) - granularity;
    if (next >= at) break;
    at = next;
  }
  // Upwards: past the end of each region, rounded up to the granularity.
  for (uint64_t at = center + granularity; at <= high;) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region) == 0) break;
    if (region.State == MEM_FREE) {
      if (void* p = TryAllocateAt(at, size)) return p;
    }
    const uint64_t end = reinterpret_cast<uint64_t>(region.BaseAddress) + region.RegionSize;
    const uint64_t next = (end + granularity - 1) & ~(granularity - 1);
    at = next > at ? next : at + granularity;
  }
  return nullptr;
}

void FreeExecutable(void* block, size_t) { VirtualFree(block, 0, MEM_RELEASE); }

bool IsExecutableAddress(const void* address) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(address, &region, sizeof region) == 0) return false;
  return region.State == MEM_COMMIT && (region.Protect & kExecutable) != 0 &&
         (region.Protect & PAGE_GUARD) == 0;
}

bool WriteCode(void* address, const void* bytes, size_t size) {
  DWORD old = 0;
  if (!VirtualProtect(address, size, PAGE_EXECUTE_READWRITE, &old)) return false;
  std::memcpy(address, bytes, size);
  VirtualProtect(address, size, old, &old);
  FlushInstructionCache(GetCurrentProcess(), address, size);
  return true;
}

OtherThreadsPaused::OtherThreadsPaused() {
  const DWORD process = GetCurrentProcessId();
  const DWORD self = GetCurrentThreadId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  // Every allocation happens before the first suspension: a suspended thread
  // may hold the heap's lock.
  std::vector<DWORD> ids;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self) {
      ids.push_back(entry.th32ThreadID);
    }
    entry.dwSize = sizeof entry;
  }
  CloseHandle(snapshot);
  threads_.reserve(ids.size());
  for (const DWORD id : ids) {
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT,
                               FALSE, id);
    if (thread == nullptr) continue;  // ended since the snapshot
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
      CloseHandle(thread);
      continue;
    }
    threads_.push_back(thread);
  }
}

OtherThreadsPaused::~OtherThreadsPaused() {
  for (void* thread : threads_) {
    ResumeThread(thread);
    CloseHandle(thread);
  }
}

void OtherThreadsPaused::MoveInstructionPointers(InstructionPointerMover mover,
                                                 const void* context) {
  for (void* thread : threads_) {
    CONTEXT state;
    std::memset(&state, 0, sizeof state);
    state.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &state)) continue;
    const uint64_t moved = mover(state.Rip, context);
    if (moved != state.Rip) {
      state.Rip = moved;
      SetThreadContext(thread, &state);
    }
  }
}

}  // namespace Vextra::hook
