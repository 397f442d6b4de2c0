#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"
#include "sysinfo/linux_facts.h"

namespace lumarobase {
namespace {

namespace fs = std::filesystem;

// A directory tree standing in for /proc, /sys and /etc.
class FakeRoot : public ::testing::Test {
 protected:
  void Write(const std::string& relative, const std::string& content) {
    fs::path path = dir_.path() / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  void AddNet(const std::string& name, const std::string& address, const std::string& index) {
    Write("sys/class/net/" + name + "/address", address + "\n");
    if (!index.empty()) Write("sys/class/net/" + name + "/ifindex", index + "\n");
  }
  void AddCard(const std::string& card, const std::string& vendor, const std::string& device,
               const std::string& uevent) {
    const std::string base = "sys/class/drm/" + card + "/device/";
    if (!vendor.empty()) Write(base + "vendor", vendor + "\n");
    if (!device.empty()) Write(base + "device", device + "\n");
    Write(base + "uevent", uevent);
  }
  std::string Mac() {
    uint8_t bytes[kMacBytes] = {};
    int error = FirstAdapterMac(root(), bytes);
    return error == 0 ? FormatMacAddress(bytes) : "error " + std::to_string(error);
  }
  std::string root() const { return dir_.str(); }

  vextra_test::TempDir dir_{"vextra-sysinfo"};
};

TEST(LinuxFacts, CpuNameFromCpuinfo) {
  static constexpr struct {
    const char* name;
    const char* cpuinfo;
    const char* cpu;
  } kCases[] = {
      {"x86",
       "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) Processor\n"
       "processor\t: 1\nmodel name\t: Intel(R) Xeon(R) Processor\n",
       "Intel(R) Xeon(R) Processor"},
      {"value with colon", "model name\t: AMD Ryzen 9 5950X 16-Core Processor: rev 2 \n",
       "AMD Ryzen 9 5950X 16-Core Processor: rev 2"},
      {"older arm", "Processor\t: ARMv7 Processor rev 10 (v7l)\nHardware\t: BCM2835\n",
       "ARMv7 Processor rev 10 (v7l)"},
      {"arm with hardware only", "processor\t: 0\nBogoMIPS\t: 48.00\nHardware\t: Qualcomm SM8250\n",
       "Qualcomm SM8250"},
      {"power", "processor\t: 0\ncpu\t\t: POWER9 (architected), altivec supported\n",
       "POWER9 (architected), altivec supported"},
      {"empty model name falls through", "model name\t:\ncpu model\t: ICT Loongson-3\n", "ICT Loongson-3"},
      {"nothing", "processor\t: 0\nBogoMIPS\t: 48.00\n", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CpuNameFromCpuinfo(c.cpuinfo), c.cpu);
  }
}

TEST(LinuxFacts, OsNameFromOsRelease) {
  static constexpr struct {
    const char* name;
    const char* os_release;
    const char* kernel;
    const char* os;
  } kCases[] = {
      {"debian",
       "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n",
       "6.1.0-18-amd64", "Debian GNU/Linux 12(6.1.0-18-amd64)"},
      {"unquoted and single quotes", "NAME=Fedora\nVERSION_ID='39'\n", "6.5.6", "Fedora 39(6.5.6)"},
      {"escapes in double quotes", "NAME=\"My \\\"Own\\\" Linux\"\n", "6.1", "My \"Own\" Linux(6.1)"},
      {"rolling release without version", "NAME=\"Arch Linux\"\nID=arch\n", "6.7.0-arch1-1",
       "Arch Linux(6.7.0-arch1-1)"},
      {"no os-release", "", "6.1.0", "Linux(6.1.0)"},
      {"key must start the line", "PRETTY_NAME=x\nXNAME=wrong\n", "", "Linux"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LinuxOsName(c.os_release, "Linux", c.kernel), c.os);
  }
}

TEST_F(FakeRoot, MacOfTheLowestInterfaceIndexLoopbackSkipped) {
  AddNet("lo", "00:00:00:00:00:00", "1");
  AddNet("eth0", "02:fc:00:00:00:01", "4");
  AddNet("ifb1", "d6:10:09:29:57:88", "3");
  AddNet("ifb0", "de:33:86:ab:c0:d0", "2");
  EXPECT_EQ(Mac(), "de-33-86-ab-c0-d0");
}

TEST_F(FakeRoot, AdaptersWithoutAHardwareAddressAreSkipped) {
  AddNet("tun0", "", "2");
  AddNet("ip6tnl0", "00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00", "3");
  AddNet("wlan0", "A4:5E:60:E8:1B:2C", "");
  EXPECT_EQ(Mac(), "a4-5e-60-e8-1b-2c");
}

TEST_F(FakeRoot, NoAdapterIsAnErrorNotAnEmptyAddress) {
  EXPECT_EQ(Mac(), "error " + std::to_string(ENOENT));
  AddNet("lo", "00:00:00:00:00:00", "1");
  EXPECT_EQ(Mac(), "error " + std::to_string(ENODEV));
}

TEST_F(FakeRoot, GraphicsAdaptersInCardOrder) {
  AddCard("card1", "0x10de", "0x2206", "DRIVER=nouveau\nPCI_SLOT_NAME=0000:01:00.0\n");
  AddCard("card0", "0x8086", "0x9bc5", "DRIVER=i915\nPCI_SLOT_NAME=0000:00:02.0\n");
  AddCard("card10", "0x1002", "0x73bf", "DRIVER=amdgpu\nPCI_SLOT_NAME=0000:0a:00.0\n");
  Write("sys/class/drm/card10/device/mem_info_vram_total", "17163091968\n");
  Write("sys/module/amdgpu/version", "");  // in-tree driver: no version of its own
  // Connectors and render nodes are not adapters.
  Write("sys/class/drm/card0-HDMI-A-1/status", "connected\n");
  Write("sys/class/drm/renderD128/dev", "226:128\n");
  Write("sys/class/drm/version", "drm 1.1.0 20060810\n");

  std::vector<VideoAdapterFacts> adapters = ReadDrmAdapters(root(), "6.1.0-18-amd64");
  ASSERT_EQ(adapters.size(), 3u);
  EXPECT_EQ(adapters[0].caption, "Intel 8086:9bc5 (i915)");
  EXPECT_EQ(adapters[1].caption, "NVIDIA 10de:2206 (nouveau)");
  EXPECT_EQ(adapters[2].caption, "AMD 1002:73bf (amdgpu)");
  EXPECT_EQ(adapters[0].driverVersion, "6.1.0-18-amd64");
  EXPECT_EQ(adapters[2].driverVersion, "6.1.0-18-amd64");
  EXPECT_FALSE(adapters[0].memoryMib.has_value());
  EXPECT_EQ(adapters[2].memoryMib, 16368);
}

TEST_F(FakeRoot, ProprietaryNvidiaDriverGivesModelAndVersion) {
  AddCard("card0", "0x10de", "0x2206", "DRIVER=nvidia\nPCI_SLOT_NAME=0000:01:00.0\n");
  Write("proc/driver/nvidia/gpus/0000:01:00.0/information",
        "Model: \t\t NVIDIA GeForce RTX 3080\nIRQ:   \t\t 145\nBus Location: \t 0000:01:00.0\n");
  Write("sys/module/nvidia/version", "535.104.05\n");
  std::vector<VideoAdapterFacts> adapters = ReadDrmAdapters(root(), "6.1.0");
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].caption, "NVIDIA GeForce RTX 3080");
  EXPECT_EQ(adapters[0].driverVersion, "535.104.05");
}

TEST_F(FakeRoot, AdapterWithoutIdsOrDriverStillHasACaption) {
  AddCard("card0", "", "", "");
  std::vector<VideoAdapterFacts> adapters = ReadDrmAdapters(root(), "6.1.0");
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].caption, "Unknown 0000:0000");
  EXPECT_FALSE(adapters[0].driverVersion.has_value());
  EXPECT_TRUE(ReadDrmAdapters(root() + "/missing", "6.1.0").empty());
}

}  // namespace
}  // namespace lumarobase
