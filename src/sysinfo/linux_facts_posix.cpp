#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sysinfo/linux_facts.h"

namespace lumarobase {
namespace {

namespace fs = std::filesystem;

// Calls on_entry for each entry of dir; an unreadable directory or a failing
// step ends the walk without throwing. The error of opening dir is returned.
template <typename OnEntry>
std::error_code ForEachEntry(const std::string& dir, OnEntry on_entry) {
  std::error_code error;
  fs::directory_iterator entries(dir, error);
  if (error) return error;
  for (std::error_code step; entries != fs::directory_iterator(); entries.increment(step)) {
    if (step) break;
    on_entry(*entries);
  }
  return {};
}

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// Value after the first ':' of "key<blanks>: value" lines whose trimmed key is key.
std::string ColonValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || Trimmed(line.substr(0, colon)) != key) continue;
    std::string value = Trimmed(line.substr(colon + 1));
    if (!value.empty()) return value;
  }
  return {};
}

// The value of the first "KEY=VALUE" line for key (uevent and os-release
// files), blanks around the line removed; empty when there is none.
std::string EqualsValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    line = Trimmed(line);
    if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
  }
  return {};
}

std::string TrimmedFile(const std::string& path) {
  std::optional<std::string> text = ReadSmallFile(path);
  return text ? Trimmed(*text) : std::string();
}

// "0x10de" -> 0x10de; -1 when the text is not a number.
long HexNumber(const std::string& text) {
  if (text.empty()) return -1;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 16);
  return end != nullptr && *end == '\0' ? value : -1;
}

const char* VendorName(long vendor_id) {
  struct Vendor {
    long id;
    const char* name;
  };
  static constexpr Vendor kVendors[] = {
      {0x10de, "NVIDIA"}, {0x1002, "AMD"},    {0x8086, "Intel"},     {0x1af4, "Virtio"},
      {0x1234, "QEMU"},   {0x15ad, "VMware"}, {0x1414, "Microsoft"}, {0x1a03, "ASPEED"},
      {0x102b, "Matrox"}, {0x13b5, "ARM"},    {0x5143, "Qualcomm"},
  };
  for (const Vendor& vendor : kVendors) {
    if (vendor.id == vendor_id) return vendor.name;
  }
  return "Unknown";
}

// N of "card<N>", or -1 for any other name (connectors such as "card0-HDMI-A-1").
int CardNumber(const std::string& name) {
  if (name.size() <= 4 || name.compare(0, 4, "card") != 0) return -1;
  if (!std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; })) return -1;
  return name.size() > 13 ? -1 : std::atoi(name.c_str() + 4);
}

VideoAdapterFacts ReadCard(const std::string& root, const fs::path& card, const std::string& kernel_release) {
  const std::string device = (card / "device").string();
  const std::string uevent = ReadSmallFile(device + "/uevent").value_or("");
  const std::string driver = EqualsValue(uevent, "DRIVER");
  const long vendor_id = HexNumber(TrimmedFile(device + "/vendor"));
  const long device_id = HexNumber(TrimmedFile(device + "/device"));

  VideoAdapterFacts facts;
  const std::string slot = EqualsValue(uevent, "PCI_SLOT_NAME");
  if (!slot.empty()) {
    std::optional<std::string> info =
        ReadSmallFile(root + "/proc/driver/nvidia/gpus/" + slot + "/information");
    if (info) {
      std::string model = ColonValue(*info, "Model");
      if (!model.empty()) facts.caption = model;
    }
  }
  if (!facts.caption) {
    char caption[128];
    std::snprintf(caption, sizeof caption, "%s %04lx:%04lx", VendorName(vendor_id),
                  static_cast<unsigned long>(vendor_id < 0 ? 0 : vendor_id),
                  static_cast<unsigned long>(device_id < 0 ? 0 : device_id));
    facts.caption = driver.empty() ? std::string(caption) : std::string(caption) + " (" + driver + ")";
  }

  std::string vram = TrimmedFile(device + "/mem_info_vram_total");
  if (!vram.empty()) {
    unsigned long long bytes = std::strtoull(vram.c_str(), nullptr, 10);
    facts.memoryMib = static_cast<int32_t>(std::min<unsigned long long>(bytes >> 20, INT32_MAX));
  }
  if (!driver.empty()) {
    std::string version = TrimmedFile(root + "/sys/module/" + driver + "/version");
    facts.driverVersion = version.empty() ? kernel_release : version;
  }
  return facts;
}

}  // namespace

std::optional<std::string> ReadSmallFile(const std::string& path) {
  constexpr size_t kMaxBytes = 1 << 20;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text;
  char chunk[4096];
  while (text.size() < kMaxBytes && file.read(chunk, sizeof chunk).gcount() > 0) {
    text.append(chunk, static_cast<size_t>(file.gcount()));
  }
  return text;
}

std::string CpuNameFromCpuinfo(const std::string& cpuinfo) {
  for (const char* key : {"model name", "Processor", "cpu model", "Hardware", "cpu"}) {
    std::string value = ColonValue(cpuinfo, key);
    if (!value.empty()) return value;
  }
  return {};
}

std::string OsReleaseValue(const std::string& os_release, const std::string& key) {
  std::string raw = EqualsValue(os_release, key);
  if (raw.size() < 2 || (raw.front() != '"' && raw.front() != '\'') || raw.back() != raw.front()) return raw;
  // Quoted: drop the quotes and undo the shell escapes of double quotes.
  std::string value;
  const bool double_quoted = raw.front() == '"';
  for (size_t i = 1; i + 1 < raw.size(); ++i) {
    if (double_quoted && raw[i] == '\\' && i + 2 < raw.size()) ++i;
    value += raw[i];
  }
  return value;
}

std::string LinuxOsName(const std::string& os_release, const std::string& system_name,
                        const std::string& kernel_release) {
  std::string name = OsReleaseValue(os_release, "NAME");
  if (name.empty()) name = system_name;
  std::string version = OsReleaseValue(os_release, "VERSION_ID");
  if (!version.empty()) name += name.empty() ? version : " " + version;
  if (!kernel_release.empty()) name += "(" + kernel_release + ")";
  return name;
}

int FirstAdapterMac(const std::string& root, uint8_t (&bytes)[kMacBytes]) {
  struct Adapter {
    long index;
    std::string name;
    uint8_t address[kMacBytes];
  };
  std::vector<Adapter> adapters;
  auto take = [&adapters](const fs::directory_entry& entry) {
    Adapter adapter{};
    adapter.name = entry.path().filename().string();
    if (adapter.name == "lo") return;
    const std::string dir = entry.path().string();
    if (!ParseColonMac(TrimmedFile(dir + "/address"), adapter.address)) return;
    std::string index = TrimmedFile(dir + "/ifindex");
    adapter.index = index.empty() ? LONG_MAX : std::strtol(index.c_str(), nullptr, 10);
    adapters.push_back(adapter);
  };
  if (std::error_code error = ForEachEntry(root + "/sys/class/net", take)) return error.value();
  if (adapters.empty()) return ENODEV;
  const Adapter& first =
      *std::min_element(adapters.begin(), adapters.end(), [](const Adapter& a, const Adapter& b) {
        return a.index != b.index ? a.index < b.index : a.name < b.name;
      });
  std::copy(first.address, first.address + kMacBytes, bytes);
  return 0;
}

std::vector<VideoAdapterFacts> ReadDrmAdapters(const std::string& root, const std::string& kernel_release) {
  std::vector<std::pair<int, fs::path>> cards;
  ForEachEntry(root + "/sys/class/drm", [&cards](const fs::directory_entry& entry) {
    int number = CardNumber(entry.path().filename().string());
    if (number >= 0) cards.emplace_back(number, entry.path());
  });
  std::sort(cards.begin(), cards.end());
  std::vector<VideoAdapterFacts> adapters;
  for (const auto& card : cards) adapters.push_back(ReadCard(root, card.second, kernel_release));
  return adapters;
}

}  // namespace lumarobase
