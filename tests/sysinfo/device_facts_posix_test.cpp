// Device facts of the running Linux machine against the system's own files,
// read here by the test and not through the collecting code.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/common_info.h"

namespace Vextra {
namespace {

namespace fs = std::filesystem;

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  text.erase(text.find_last_not_of(blanks) + 1);
  text.erase(0, text.find_first_not_of(blanks));
  return text;
}

// The value after "key" and its colon on the first line that starts with key.
std::string FirstColonValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || Trimmed(line.substr(key.size(), colon - key.size())) != "") continue;
    return Trimmed(line.substr(colon + 1));
  }
  return "";
}

// VALUE of KEY=VALUE in os-release, quotes removed (no escapes in the values tested).
std::string OsReleaseField(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string value = Trimmed(line.substr(key.size() + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) value = value.substr(1, value.size() - 2);
    return value;
  }
  return "";
}

class DeviceFactsPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommonInfo::Instance().ResetForTesting();
    CommonInfo::Instance().CollectDeviceInfo();
  }
  void TearDown() override { CommonInfo::Instance().ResetForTesting(); }
  CommonInfo& store = CommonInfo::Instance();
};

TEST_F(DeviceFactsPosixTest, MemoryTotalIsMemTotalOfProcMeminfo) {
  const std::string kib = FirstColonValue(FileText("/proc/meminfo"), "MemTotal");
  ASSERT_FALSE(kib.empty());
  int32_t total = -1, used = -1, process = -1;
  store.GetMemoryStatus(&total, &used, &process);
  EXPECT_EQ(total, static_cast<int32_t>(std::stoll(kib) / 1024));
  EXPECT_GT(used, 0);
  EXPECT_LT(used, total);
  // This test program itself occupies at least a MiB.
  EXPECT_GE(process, 1);
  EXPECT_LT(process, total);
}

TEST_F(DeviceFactsPosixTest, CpuIsTheModelNameOfProcCpuinfo) {
  const std::string model = FirstColonValue(FileText("/proc/cpuinfo"), "model name");
  if (model.empty()) {
    // Other architectures name the processor under other keys; some name is still found.
    EXPECT_FALSE(store.GetCpu().empty());
  } else {
    EXPECT_EQ(store.GetCpu(), model);
  }
}

TEST_F(DeviceFactsPosixTest, OsIsNameAndVersionOfOsReleaseWithTheKernelRelease) {
  std::string release = FileText("/etc/os-release");
  if (release.empty()) release = FileText("/usr/lib/os-release");
  const std::string name = OsReleaseField(release, "NAME");
  const std::string version = OsReleaseField(release, "VERSION_ID");
  const std::string kernel = Trimmed(FileText("/proc/sys/kernel/osrelease"));
  ASSERT_FALSE(name.empty());
  ASSERT_FALSE(kernel.empty());
  EXPECT_EQ(store.GetOsVer(), name + (version.empty() ? "" : " " + version) + "(" + kernel + ")");
}

TEST_F(DeviceFactsPosixTest, MacIsThatOfTheFirstAdapterInSysClassNet) {
  // Adapters with a six-byte hardware address, loopback aside, by interface index.
  struct Adapter {
    long index;
    std::string name;
    std::string mac;
  };
  std::vector<Adapter> adapters;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/class/net", error)) {
    const std::string name = entry.path().filename().string();
    const std::string address = Trimmed(FileText(entry.path() / "address"));
    if (name == "lo" || address.size() != 17) continue;
    std::string mac = address;
    std::replace(mac.begin(), mac.end(), ':', '-');
    std::transform(mac.begin(), mac.end(), mac.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string index = Trimmed(FileText(entry.path() / "ifindex"));
    adapters.push_back({index.empty() ? LONG_MAX : std::stol(index), name, mac});
  }
  if (adapters.empty()) {
    // No adapter: no address and no device id made from one.
    EXPECT_EQ(store.GetMac(), "");
    EXPECT_EQ(store.GetDeviceId(), "");
    return;
  }
  const Adapter& first = *std::min_element(adapters.begin(), adapters.end(), [](const Adapter& a, const Adapter& b) {
    return a.index != b.index ? a.index < b.index : a.name < b.name;
  });
  SCOPED_TRACE(first.name);
  EXPECT_EQ(store.GetMac(), first.mac);
  EXPECT_EQ(store.GetDeviceId(), first.mac);
}

}  // namespace
}  // namespace Vextra
