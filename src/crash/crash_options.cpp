#include "crash/crash_options.h"

#include <atomic>
#include <thread>

#include "log/sdk_log.h"

namespace Vextra {
namespace {

std::atomic<bool> g_veh_enabled{false};
std::atomic<bool> g_extra_handler{false};

// The accepted codes live in static storage, there from load: a crash reads
// them without a first-use allocation. Entries are written before the count
// that publishes them.
std::atomic<uint32_t> g_code_count{0};
std::atomic<uint32_t> g_codes[kAcceptedCodeCapacity];
// Taken by host threads adding codes, never by readers.
std::atomic_flag g_adding = ATOMIC_FLAG_INIT;
bool g_full_told = false;  // written by the adder that holds g_adding

class AdderTurn {
 public:
  AdderTurn() {
    while (g_adding.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  ~AdderTurn() { g_adding.clear(std::memory_order_release); }
  AdderTurn(const AdderTurn&) = delete;
  AdderTurn& operator=(const AdderTurn&) = delete;
};

}  // namespace

bool StoreVehEnable(bool enable) {
  g_veh_enabled.store(enable, std::memory_order_relaxed);
  return enable;
}
bool IsVehEnabled() { return g_veh_enabled.load(std::memory_order_relaxed); }

void SetExtraHandlerFlag(bool enable) { g_extra_handler.store(enable, std::memory_order_relaxed); }
bool IsExtraHandlerOn() { return g_extra_handler.load(std::memory_order_relaxed); }

void AddAcceptedCode(uint32_t code) {
  AdderTurn turn;
  if (IsAcceptedCode(code)) return;
  const uint32_t used = g_code_count.load(std::memory_order_relaxed);
  if (used == kAcceptedCodeCapacity) {
    if (!g_full_told) {
      g_full_told = true;
      LogAlways("accepted exception codes full (%d codes): 0x%08x and later new codes are not added\n",
                static_cast<int>(kAcceptedCodeCapacity), code);
    }
    return;
  }
  g_codes[used].store(code, std::memory_order_relaxed);
  g_code_count.store(used + 1, std::memory_order_release);
}

bool IsAcceptedCode(uint32_t code) {
  const uint32_t used = g_code_count.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < used; ++i) {
    if (g_codes[i].load(std::memory_order_relaxed) == code) return true;
  }
  return false;
}

}  // namespace Vextra

namespace Vextra::testing_hooks {
void ResetCrashOptionsForTesting() {
  StoreVehEnable(false);
  SetExtraHandlerFlag(false);
  AdderTurn turn;
  g_code_count.store(0);
  g_full_told = false;
}
}  // namespace Vextra::testing_hooks
