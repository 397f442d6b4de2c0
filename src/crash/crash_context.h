#pragma once
// The crash context: the process-wide state the crash entries read and write
// on a faulting thread. Everything in it is fixed in size and prepared before
// a crash, so the crash path neither allocates nor waits.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "crash/crash_lock.h"
#include "crash/ignored_modules.h"

struct _EXCEPTION_POINTERS;

namespace Vextra {

// A top-level exception filter, as the host and the system call it (on x86-64
// Windows the calling convention is the plain one).
using TopLevelFilter = long (*)(_EXCEPTION_POINTERS*);

constexpr size_t kHostPathChars = 260;
constexpr size_t kHookedTargetCapacity = 3;
// Room for remembered crash addresses, set aside with the context at load so
// that remembering allocates nothing. The list only grows: once it is full a
// new address is still sent but no longer remembered (said once in the SDK
// log), and an address already in it is never sent again.
constexpr size_t kRememberedAddressCapacity = 8192;

class CHcSpyGlobal {
 public:
  // The process's context, created at load (the attach setup reaches it
  // first) and never destroyed: a crash in an exit handler still reads it.
  static CHcSpyGlobal& Instance();
  CHcSpyGlobal();
  virtual ~CHcSpyGlobal();
  CHcSpyGlobal(const CHcSpyGlobal&) = delete;
  CHcSpyGlobal& operator=(const CHcSpyGlobal&) = delete;

  // System functions whose detour was created; teardown removes each.
  // Installation and teardown only (host threads).
  void AddHookedTarget(void* target);
  size_t HookedTargetCount() const { return hooked_count_; }
  void* HookedTarget(size_t index) const { return hooked_[index]; }

  int64_t creation_time = 0;          // seconds since the epoch
  std::atomic<int32_t> enabled{1};    // set to 0, never back to 1
  std::atomic<void*> veh_handle{nullptr};
  std::atomic<TopLevelFilter> next_filter{nullptr};
  CrashLock crash_lock;
  char host_path[kHostPathChars] = {};  // written once by the attach setup
  IgnoredModuleTable ignored_modules;
  std::atomic<bool> crash_handled{false};
  std::atomic<int64_t> last_crash_time{0};
  // Read and written under the crash lock only.
  uintptr_t last_crash_address = 0;

  // False when address is remembered; otherwise appends it while there is
  // room and answers true. The caller holds the crash lock.
  // crash path: scans a fixed array, allocates nothing.
  bool RememberCrashAddress(uintptr_t address);

  // Records the host executable's path (cut to 259 characters).
  void SetHostPath(const char* path);

  // Tests only: back to the state at construction, created at `now`.
  void ResetForTesting(int64_t now);

 private:
  void* hooked_[kHookedTargetCapacity] = {};
  size_t hooked_count_ = 0;
  uintptr_t remembered_[kRememberedAddressCapacity] = {};
  size_t remembered_count_ = 0;  // at most the capacity
  bool remembered_full_told_ = false;
};

}  // namespace Vextra
