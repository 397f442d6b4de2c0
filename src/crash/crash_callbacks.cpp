#include "crash/crash_callbacks.h"

#include <atomic>

#include "log/sdk_log.h"

namespace Vextra {
namespace {

std::atomic<uint64_t> g_crash_callback{0};
std::atomic<HRBCrashObserver*> g_observer{nullptr};
std::atomic<VextraUnityCallback> g_unity_callback{nullptr};

// Never destroyed: the registration may be read by a report thread or a
// crashing thread while the process exits.
unityCrashObserver& BuiltInObserver() {
  static unityCrashObserver* const observer = new unityCrashObserver;
  return *observer;
}

}  // namespace

uint64_t StoreCrashCallback(uint64_t callback) {
  g_crash_callback.store(callback, std::memory_order_release);
  return callback;
}

VextraCrashCallback TakeCrashCallback() {
  uint64_t value = g_crash_callback.exchange(0, std::memory_order_acq_rel);
  return reinterpret_cast<VextraCrashCallback>(static_cast<uintptr_t>(value));
}

void SetCrashObserver(HRBCrashObserver* observer) {
  g_observer.store(observer, std::memory_order_release);
  if (observer != nullptr) {
    LogDebug("SetCrashObserver succeed \n");
  } else {
    LogDebug("crashObserver is null \n");
  }
}

HRBCrashObserver* GetCrashObserver() { return g_observer.load(std::memory_order_acquire); }

const char* CallOnCrashExtraMessage(HRBCrashObserver* observer, int32_t kind) {
  using ExtraMessageSlot = const char* (*)(HRBCrashObserver*, int32_t);
  void* const* table = *reinterpret_cast<void* const* const*>(observer);
  const auto slot = reinterpret_cast<ExtraMessageSlot>(table[kExtraMessageSlot]);
  return slot(observer, kind);
}

void SetUnityCallback(VextraUnityCallback callback) {
  g_unity_callback.store(callback, std::memory_order_release);
  if (callback != nullptr) {
    SetCrashObserver(&BuiltInObserver());
    LogDebug("setUnityCallback succeed \n");
  } else {
    SetCrashObserver(nullptr);
    LogDebug("unity callback is null \n");
  }
}

const char* unityCrashObserver::OnCrashExtraMessage(int32_t kind) {
  VextraUnityCallback callback = g_unity_callback.load(std::memory_order_acquire);
  return callback != nullptr ? callback(1012, kind, 0) : "";
}

}  // namespace Vextra
