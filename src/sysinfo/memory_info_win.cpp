#include <windows.h>
#include <psapi.h>

#include "sysinfo/system_info.h"

namespace lumarobase {

void SystemInfo::GetMemoryInfo(int32_t* total_mib, int32_t* used_mib, int32_t* working_set_mib) {
  constexpr DWORDLONG kMiB = 1024 * 1024;
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) {
    if (total_mib) *total_mib = static_cast<int32_t>(status.ullTotalPhys / kMiB);
    if (used_mib) *used_mib = static_cast<int32_t>((status.ullTotalPhys - status.ullAvailPhys) / kMiB);
  }
  PROCESS_MEMORY_COUNTERS counters{};
  if (working_set_mib && K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    *working_set_mib = static_cast<int32_t>(counters.WorkingSetSize / kMiB);
  }
}

}  // namespace lumarobase
