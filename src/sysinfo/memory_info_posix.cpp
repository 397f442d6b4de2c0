#include <cstdio>
#include <cstring>

#include "sysinfo/system_info.h"

namespace lumarobase {
namespace {

// Reads "<key>: <value> kB" from a /proc file; -1 when absent.
long long ReadKibField(const char* path, const char* key) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return -1;
  char line[256];
  long long value = -1;
  size_t key_len = std::strlen(key);
  while (std::fgets(line, sizeof line, file)) {
    if (std::strncmp(line, key, key_len) == 0 && line[key_len] == ':') {
      std::sscanf(line + key_len + 1, "%lld", &value);
      break;
    }
  }
  std::fclose(file);
  return value;
}

}  // namespace

void SystemInfo::GetMemoryInfo(int32_t* total_mib, int32_t* used_mib, int32_t* working_set_mib) {
  long long total_kib = ReadKibField("/proc/meminfo", "MemTotal");
  long long available_kib = ReadKibField("/proc/meminfo", "MemAvailable");
  if (total_kib >= 0) {
    if (total_mib) *total_mib = static_cast<int32_t>(total_kib / 1024);
    if (used_mib && available_kib >= 0) *used_mib = static_cast<int32_t>((total_kib - available_kib) / 1024);
  }
  long long rss_kib = ReadKibField("/proc/self/status", "VmRSS");
  if (working_set_mib && rss_kib >= 0) *working_set_mib = static_cast<int32_t>(rss_kib / 1024);
}

}  // namespace lumarobase
