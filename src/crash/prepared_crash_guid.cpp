#include "crash/prepared_crash_guid.h"

#include <atomic>

namespace Vextra {
namespace {

// Empty -> busy -> ready -> busy -> empty: whoever moves it to busy owns the
// GUID until it moves on, and anyone else finds it busy and goes without.
enum SlotState : int { kEmpty, kBusy, kReady };
std::atomic<int> g_state{kEmpty};
platform::Guid g_guid;

bool Claim(int from) { return g_state.compare_exchange_strong(from, kBusy, std::memory_order_acquire); }

}  // namespace

void PrepareCrashGuid() {
  if (!Claim(kEmpty)) return;
  g_guid = platform::NewGuid();
  g_state.store(kReady, std::memory_order_release);
}

bool TakePreparedCrashGuid(platform::Guid* out) {
  if (!Claim(kReady)) return false;
  *out = g_guid;
  g_state.store(kEmpty, std::memory_order_release);
  return true;
}

namespace testing_hooks {
bool PeekPreparedCrashGuid(platform::Guid* out) {
  if (!Claim(kReady)) return false;
  *out = g_guid;
  g_state.store(kReady, std::memory_order_release);
  return true;
}
}  // namespace testing_hooks

}  // namespace Vextra
