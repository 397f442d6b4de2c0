#include <atomic>
#include <memory>

#include "core/common_info.h"
#include "log/sdk_log.h"
#include "sysinfo/gpu_choice.h"
#include "sysinfo/system_info.h"

namespace Vextra {
namespace {

// A fact buffer as the settings store's fixed arrays are: starting from the
// stored value, so that a fact the system does not report keeps it.
struct FactBuffer {
  explicit FactBuffer(const std::string& stored) { stored.copy(text, sizeof text - 1); }
  char text[kFactChars] = {};
};

// Capacities the queries are given (the mac buffer keeps its 32-character bound).
constexpr size_t kFactCapacity = 255;
constexpr size_t kMacCapacity = kMaxMacUsed;

// Closes the object when the run ends, also when a step throws: the object
// stays in the store and must not hold connections or COM past the run.
struct CloseAtEnd {
  explicit CloseAtEnd(lumarobase::SystemInfo& info) : info(info) {}
  ~CloseAtEnd() { info.Close(); }
  CloseAtEnd(const CloseAtEnd&) = delete;
  CloseAtEnd& operator=(const CloseAtEnd&) = delete;
  lumarobase::SystemInfo& info;
};

std::atomic<void (*)()> g_test_step{nullptr};

}  // namespace

void testing_hooks::SetDeviceFactStepForTesting(void (*step)()) { g_test_step.store(step); }

void CommonInfo::CollectDeviceInfo() {
  auto info = std::make_shared<lumarobase::SystemInfo>();
  SetSystemInfo(info);
  // The object stays in the store for the memory figures, which need no connection.
  CloseAtEnd close(*info);
  if (!info->IsReady()) LogDebug("SystemInfo not ready: no processor, graphics or system facts\n");

  FactBuffer cpu(GetCpu());
  info->GetCpuName(cpu.text, kFactCapacity);
  SetCpu(cpu.text);
  if (void (*step)() = g_test_step.load()) step();

  FactBuffer gpu(GetGpu());
  FactBuffer driver(GetDisplayVersion());
  int32_t memory = static_cast<int32_t>(GetDisplayMem());
  info->GetGpuInfo(gpu.text, kFactCapacity, driver.text, kFactCapacity, &memory);
  SetGpu(lumarobase::ShortenGpuCaption(gpu.text));
  SetDisplayVersion(driver.text);
  SetDisplayMem(static_cast<uint32_t>(memory));

  FactBuffer os(GetOsVer());
  info->GetOsName(os.text, kFactCapacity);
  SetOsVer(os.text);

  FactBuffer mac(GetMac());
  if (uint32_t error = info->GetMacAddress(mac.text, kMacCapacity)) {
    LogDebug("GetMacAddress failed: %u\n", static_cast<unsigned>(error));
  }
  SetMac(mac.text);

  FillDeviceIdIfEmpty(mac.text);
}

}  // namespace Vextra
