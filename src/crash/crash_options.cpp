#include "crash/crash_options.h"

#include <atomic>
#include <mutex>

namespace Vextra {
namespace {

std::atomic<bool> g_veh_enabled{false};
std::atomic<bool> g_extra_handler{false};

struct AcceptedCodeSet {
  std::mutex mutex;
  std::set<uint32_t> codes;  // guarded by mutex
};

AcceptedCodeSet& Codes() {
  static AcceptedCodeSet set;
  return set;
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
  std::lock_guard<std::mutex> lock(Codes().mutex);
  Codes().codes.insert(code);
}

bool IsAcceptedCode(uint32_t code) {
  std::lock_guard<std::mutex> lock(Codes().mutex);
  return Codes().codes.count(code) != 0;
}

std::set<uint32_t> AcceptedCodes() {
  std::lock_guard<std::mutex> lock(Codes().mutex);
  return Codes().codes;
}

}  // namespace Vextra
