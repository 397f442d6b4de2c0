#pragma once
// Device facts: operating system, processor, graphics adapter, network adapter
// and memory. Owned by the settings store through a shared pointer. The queries
// are platform code; the logic that turns raw answers into stored texts lives
// in separate, portable functions.

#include <cstddef>
#include <cstdint>

struct IWbemLocator;
struct IWbemServices;

namespace lumarobase {

class SystemInfo {
 public:
  // Connects to the management namespaces (Windows) or prepares nothing (POSIX,
  // where the facts come from /proc and /sys).
  SystemInfo();
  ~SystemInfo();
  SystemInfo(const SystemInfo&) = delete;
  SystemInfo& operator=(const SystemInfo&) = delete;

  // Releases every connection; later queries write nothing.
  void Close();

  void GetGpuInfo(char* name, size_t name_capacity, char* driver_version, size_t version_capacity,
                  int32_t* memory_mib);
  void GetOsVersion(char (&version)[64]);
  void GetOsName(char* out, size_t capacity);
  void GetCpuName(char* out, size_t capacity);
  // 0 on success, else the error code of the adapter query.
  uint32_t GetMacAddress(char* out, size_t capacity);
  // Any pointer may be null; each value whose query succeeded is written.
  void GetMemoryInfo(int32_t* total_mib, int32_t* used_mib, int32_t* working_set_mib);

  bool IsReady() const { return ready; }

 private:
  IWbemLocator* locator = nullptr;
  IWbemLocator* storageLocator = nullptr;
  IWbemServices* services = nullptr;
  IWbemServices* storageServices = nullptr;
  bool ready = false;
};

}  // namespace lumarobase
