#include "crash/crash_options.h"

#include <atomic>
#include <mutex>

namespace Vextra {
namespace {

std::atomic<bool> g_veh_enabled{false};
std::atomic<bool> g_extra_handler{false};

// Entries are written before the count that publishes them.
struct AcceptedCodeTable {
  std::mutex adders;  // taken by host threads adding codes, never by readers
  std::atomic<uint32_t> count{0};
  std::atomic<uint32_t> codes[kAcceptedCodeCapacity] = {};
};

AcceptedCodeTable& Codes() {
  static AcceptedCodeTable* const table = new AcceptedCodeTable;
  return *table;
}

}  // namespace

bool StoreVehEnable(bool enable) {
  g_veh_enabled.store(enable, std::memory_order_relaxed);
  return enable;
}
bool IsVehEnabled() { return g_veh_enabled.load(std::memory_order_relaxed); }

void SetExtraHandlerFlag(bool enable) { g_extra_handler.store(enable, std::memory_order_relaxed); }
bool IsExtraHandlerOn() { return g_extra_handler.load(std::memory_order_relaxed); }

void AddAcceptedCode(uint32_t code) {
  AcceptedCodeTable& table = Codes();
  std::lock_guard<std::mutex> lock(table.adders);
  if (IsAcceptedCode(code)) return;
  const uint32_t used = table.count.load(std::memory_order_relaxed);
  if (used == kAcceptedCodeCapacity) return;
  table.codes[used].store(code, std::memory_order_relaxed);
  table.count.store(used + 1, std::memory_order_release);
}

bool IsAcceptedCode(uint32_t code) {
  const AcceptedCodeTable& table = Codes();
  const uint32_t used = table.count.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < used; ++i) {
    if (table.codes[i].load(std::memory_order_relaxed) == code) return true;
  }
  return false;
}

}  // namespace Vextra

namespace Vextra::testing_hooks {
void ResetCrashOptionsForTesting() {
  StoreVehEnable(false);
  SetExtraHandlerFlag(false);
  Codes().count.store(0);
}
}  // namespace Vextra::testing_hooks
