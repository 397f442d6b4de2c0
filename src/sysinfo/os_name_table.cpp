#include "sysinfo/os_name_table.h"

#include <cstdio>

namespace lumarobase {
namespace {

struct NamedRelease {
  int major;
  int minor;
  const char* name;
};

// Releases named by major and minor alone.
constexpr NamedRelease kNamedReleases[] = {
    {4, 0, "Microsoft Windows 95"},   {4, 10, "Microsoft Windows 98"}, {4, 90, "Microsoft Windows Me"},
    {5, 0, "Microsoft Windows 2000"}, {5, 1, "Microsoft Windows XP"},  {6, 0, "Microsoft Windows Vista"},
    {6, 1, "Microsoft Windows 7"},    {6, 2, "Microsoft Windows 8"},   {6, 3, "Microsoft Windows 8.1"},
};

constexpr int kFirstWindows11Build = 22000;

std::string WithBuild(const char* name, int build) {
  char text[128];
  std::snprintf(text, sizeof text, "%s(%d)", name, build);
  return text;
}

}  // namespace

const char kUnknownOs[] = "unknow os";

bool ParseOsVersion(const char* text, OsVersionNumbers* out) {
  if (text == nullptr || out == nullptr) return false;
  OsVersionNumbers parsed;
  int fields =
      std::sscanf(text, "%d.%d.%d.%d", &parsed.major, &parsed.minor, &parsed.build, &parsed.revision);
  if (fields < 3) return false;
  *out = parsed;
  return true;
}

std::string OsNameForVersion(const char* version_text, uint16_t processor_architecture,
                             int server_r2_metric) {
  OsVersionNumbers v;
  if (!ParseOsVersion(version_text, &v)) return kUnknownOs;
  if (v.major == 10) {
    if (v.minor != 0) return WithBuild(kUnknownOs, v.build);
    return WithBuild(v.build < kFirstWindows11Build ? "Microsoft Windows 10" : "Microsoft Windows 11",
                     v.build);
  }
  if (v.major == 5 && v.minor == 2) {
    if (processor_architecture == kProcessorArchitectureAmd64) {
      return "Microsoft Windows XP Professional x64 Edition";
    }
    return server_r2_metric == 0 ? "Microsoft Windows Server 2003" : "Microsoft Windows Server 2003 R2";
  }
  for (const NamedRelease& release : kNamedReleases) {
    if (release.major == v.major && release.minor == v.minor) return release.name;
  }
  return kUnknownOs;
}

}  // namespace lumarobase
