#pragma once
// The operating-system name a version text stands for: the table of known
// Windows releases, as plain code over values.

#include <cstdint>
#include <string>

namespace lumarobase {

// What every version the table does not know is called.
extern const char kUnknownOs[];  // "unknow os"

// wProcessorArchitecture of an x64 processor.
constexpr uint16_t kProcessorArchitectureAmd64 = 9;

struct OsVersionNumbers {
  int major = 0;
  int minor = 0;
  int build = 0;
  int revision = 0;
};

// Reads "%d.%d.%d.%d" (the revision may be missing). True when at least major,
// minor and build were found; a null text is not a version.
bool ParseOsVersion(const char* text, OsVersionNumbers* out);

// The table row for the version text: "Microsoft Windows 7", "Microsoft
// Windows 10(19045)", ... A text without major, minor and build is "unknow os".
// server_r2_metric is GetSystemMetrics(SM_SERVERR2); it only matters for 5.2.
std::string OsNameForVersion(const char* version_text, uint16_t processor_architecture, int server_r2_metric);

}  // namespace lumarobase
