#include "sysinfo/gpu_choice.h"

#include "sysinfo/fact_text.h"

namespace lumarobase {

bool IsPreferredGpuCaption(const std::string& caption) {
  for (const char* vendor : {"NVIDIA", "AMD", "ATI"}) {
    if (caption.find(vendor) != std::string::npos) return true;
  }
  return false;
}

int32_t AdapterRamToMib(uint32_t adapter_ram_bytes) { return static_cast<int32_t>(adapter_ram_bytes >> 20); }

GpuFactsWalk::GpuFactsWalk(char* name, size_t name_capacity, char* driver_version, size_t version_capacity,
                           int32_t* memory_mib)
    : name_(name),
      name_capacity_(name_capacity),
      driver_version_(driver_version),
      version_capacity_(version_capacity),
      memory_mib_(memory_mib) {}

bool GpuFactsWalk::Take(const VideoAdapterFacts& adapter) {
  // Only a caption that was stored can make its adapter the preferred one.
  bool preferred = false;
  if (adapter.caption && CopyIfShorter(*adapter.caption, name_, name_capacity_)) {
    preferred = IsPreferredGpuCaption(*adapter.caption);
  }
  if (adapter.memoryMib && memory_mib_ != nullptr) *memory_mib_ = *adapter.memoryMib;
  if (adapter.driverVersion) CopyIfShorter(*adapter.driverVersion, driver_version_, version_capacity_);
  return preferred;
}

std::string ShortenGpuCaption(const std::string& caption) {
  constexpr size_t kKeptChars = 32;
  if (caption.size() <= kKeptChars) return caption;
  size_t parenthesis = caption.find('(');
  return caption.substr(0, parenthesis == std::string::npos ? kKeptChars : parenthesis);
}

}  // namespace lumarobase
