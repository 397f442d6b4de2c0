#pragma once
// Which graphics adapter the device facts describe, and how its caption is
// shortened for the settings store. Plain code over values; the platform
// supplies one VideoAdapterFacts per adapter in the order the system lists them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lumarobase {

// What one adapter reported; an empty optional is a property that was absent.
struct VideoAdapterFacts {
  std::optional<std::string> caption;  // already in the stored encoding
  std::optional<int32_t> memoryMib;
  std::optional<std::string> driverVersion;  // already in the stored encoding
};

// A caption naming one of the discrete vendors: contains "NVIDIA", "AMD" or
// "ATI" (case-sensitive).
bool IsPreferredGpuCaption(const std::string& caption);

// The adapter memory the system reports as a 32-bit byte count, in MiB (at
// most 4095: larger memories already arrive cut to 32 bits).
int32_t AdapterRamToMib(uint32_t adapter_ram_bytes);

// Walks the adapters into caller-owned buffers: each present fact that fits
// overwrites the buffer, and the walk ends at the first adapter whose caption
// names a preferred vendor. Without one, each buffer keeps the last adapter
// that had its fact. The buffers must outlive the walk; memory_mib may be null.
class GpuFactsWalk {
 public:
  GpuFactsWalk(char* name, size_t name_capacity, char* driver_version, size_t version_capacity,
               int32_t* memory_mib);

  // Takes the next adapter's facts; true when it was preferred and the walk
  // should stop.
  bool Take(const VideoAdapterFacts& adapter);

 private:
  char* name_;
  size_t name_capacity_;
  char* driver_version_;
  size_t version_capacity_;
  int32_t* memory_mib_;
};

// The caption as the settings store keeps it: one longer than 32 characters is
// cut before its first "(" when it has one (trailing blanks stay), otherwise
// to its first 32 characters.
std::string ShortenGpuCaption(const std::string& caption);

}  // namespace lumarobase
