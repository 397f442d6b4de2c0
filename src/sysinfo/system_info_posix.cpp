#include <sys/utsname.h>

#include <cstdio>
#include <string>

#include "sysinfo/fact_text.h"
#include "sysinfo/gpu_choice.h"
#include "sysinfo/linux_facts.h"
#include "sysinfo/mac_format.h"
#include "sysinfo/os_name_table.h"
#include "sysinfo/system_info.h"

namespace lumarobase {
namespace {

// The running system's files, not a prepared tree.
const std::string kSystemRoot;

struct KernelNames {
  std::string system;
  std::string release;
};

KernelNames ReadKernelNames() {
  struct utsname names {};
  if (uname(&names) != 0) return {};
  return {names.sysname, names.release};
}

}  // namespace

SystemInfo::SystemInfo() { ready = true; }

SystemInfo::~SystemInfo() { Close(); }

void SystemInfo::Close() { ready = false; }

void SystemInfo::GetGpuInfo(char* name, size_t name_capacity, char* driver_version, size_t version_capacity,
                            int32_t* memory_mib) {
  if (!ready) return;
  GpuFactsWalk walk(name, name_capacity, driver_version, version_capacity, memory_mib);
  for (const VideoAdapterFacts& adapter : ReadDrmAdapters(kSystemRoot, ReadKernelNames().release)) {
    if (walk.Take(adapter)) break;
  }
}

void SystemInfo::GetOsVersion(char (&version)[64]) {
  if (!ready) return;
  CopyIfShorter(ReadKernelNames().release, version, sizeof version);
}

void SystemInfo::GetOsName(char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  if (!ready) {
    std::snprintf(out, capacity, "%s", kUnknownOs);
    return;
  }
  KernelNames kernel = ReadKernelNames();
  std::optional<std::string> os_release = ReadSmallFile("/etc/os-release");
  if (!os_release) os_release = ReadSmallFile("/usr/lib/os-release");
  std::string name = LinuxOsName(os_release.value_or(""), kernel.system, kernel.release);
  std::snprintf(out, capacity, "%s", name.empty() ? kUnknownOs : name.c_str());
}

void SystemInfo::GetCpuName(char* out, size_t capacity) {
  if (!ready) return;
  std::optional<std::string> cpuinfo = ReadSmallFile("/proc/cpuinfo");
  if (!cpuinfo) return;
  std::string cpu = CpuNameFromCpuinfo(*cpuinfo);
  if (!cpu.empty()) CopyIfShorter(cpu, out, capacity);
}

uint32_t SystemInfo::GetMacAddress(char* out, size_t capacity) {
  uint8_t address[kMacBytes] = {};
  int error = FirstAdapterMac(kSystemRoot, address);
  if (error != 0) return static_cast<uint32_t>(error);
  FormatMacAddress(address, out, capacity);
  return 0;
}

}  // namespace lumarobase
