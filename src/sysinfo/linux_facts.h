#pragma once
// Device facts of a Linux system, read from the files the kernel and the
// distribution provide. Every reader takes the root the files live under ("" for
// the running system) so that a prepared directory tree can stand in for it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sysinfo/gpu_choice.h"
#include "sysinfo/mac_format.h"

namespace lumarobase {

// The whole content of a small file, or nullopt when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& path);

// The processor name of /proc/cpuinfo text: the first "model name" (x86), else
// the first of "Processor", "cpu model", "Hardware", "cpu" that has a value;
// empty when none does.
std::string CpuNameFromCpuinfo(const std::string& cpuinfo);

// The unquoted value of key in os-release text; empty when absent.
std::string OsReleaseValue(const std::string& os_release, const std::string& key);

// "<NAME> <VERSION_ID>(<kernel release>)", e.g. "Debian GNU/Linux
// 12(6.1.0-18-amd64)": the distribution in place of the Windows release and the
// kernel release in place of its build. Without NAME the system name ("Linux")
// is used; the parts that are missing are left out.
std::string LinuxOsName(const std::string& os_release, const std::string& system_name,
                        const std::string& kernel_release);

// The first network adapter with a hardware address under
// root/sys/class/net, in interface-index order, "lo" skipped. 0 on success, else
// an errno value (ENODEV when no adapter has an address).
int FirstAdapterMac(const std::string& root, uint8_t (&bytes)[kMacBytes]);

// The graphics adapters under root/sys/class/drm ("card<N>" in number order):
// caption from the proprietary NVIDIA driver's model name when it is loaded,
// else "<vendor> <vendor id>:<device id> (<driver>)"; memory from the VRAM size
// the driver publishes; driver version from root/sys/module/<driver>/version,
// else the kernel release (a driver built into the kernel).
std::vector<VideoAdapterFacts> ReadDrmAdapters(const std::string& root, const std::string& kernel_release);

}  // namespace lumarobase
