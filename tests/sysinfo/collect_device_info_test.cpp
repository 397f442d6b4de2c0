#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/common_info.h"
#include "sysinfo/gpu_choice.h"
#include "sysinfo/mac_text.h"
#include "sysinfo/system_info.h"

namespace Vextra {
namespace {

class CollectDeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { CommonInfo::Instance().ResetForTesting(); }
  void TearDown() override { CommonInfo::Instance().ResetForTesting(); }
  CommonInfo& store = CommonInfo::Instance();
};

TEST_F(CollectDeviceInfoTest, DeviceIdBecomesTheMacWhenTheHostGaveNone) {
  store.CollectDeviceInfo();
  std::string mac = store.GetMac();
  if (!mac.empty()) EXPECT_TRUE(vextra_test::IsMacText(mac)) << mac;
  EXPECT_EQ(store.GetDeviceId(), mac);
}

TEST_F(CollectDeviceInfoTest, DeviceIdTheHostSetStays) {
  ASSERT_TRUE(store.SetDeviceId("host-device-7"));
  store.CollectDeviceInfo();
  EXPECT_EQ(store.GetDeviceId(), "host-device-7");
}

TEST_F(CollectDeviceInfoTest, StoresWhatTheSystemReportsWithTheCaptionShortened) {
  store.CollectDeviceInfo();

  // A second, independent object answers the same queries.
  lumarobase::SystemInfo fresh;
  char cpu[256] = "";
  fresh.GetCpuName(cpu, 255);
  char gpu[256] = "", driver[256] = "";
  int32_t memory = 1;
  fresh.GetGpuInfo(gpu, 255, driver, 255, &memory);
  char os[256] = "";
  fresh.GetOsName(os, 255);
  char mac[32] = "";
  fresh.GetMacAddress(mac, sizeof mac);
  fresh.Close();

  EXPECT_EQ(store.GetCpu(), cpu);
  EXPECT_EQ(store.GetGpu(), lumarobase::ShortenGpuCaption(gpu));
  EXPECT_LE(store.GetGpu().size(), std::string(gpu).size());
  EXPECT_EQ(store.GetDisplayVersion(), driver);
  EXPECT_EQ(store.GetDisplayMem(), static_cast<uint32_t>(memory));
  EXPECT_EQ(store.GetOsVer(), os);
  EXPECT_FALSE(store.GetOsVer().empty());
  EXPECT_EQ(store.GetMac(), mac);
}

TEST_F(CollectDeviceInfoTest, KeepsTheClosedObjectForTheMemoryFigures) {
  store.CollectDeviceInfo();
  std::shared_ptr<lumarobase::SystemInfo> first = store.GetSystemInfo();
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->IsReady());

  int32_t total = -1, used = -1, process = -1;
  store.GetMemoryStatus(&total, &used, &process);
  EXPECT_GT(total, 0);
  EXPECT_GE(used, 0);
  EXPECT_GE(process, 0);

  // Each run replaces the object and fills the same facts again.
  std::string os = store.GetOsVer();
  store.CollectDeviceInfo();
  EXPECT_NE(store.GetSystemInfo(), first);
  EXPECT_EQ(store.GetOsVer(), os);
}

}  // namespace
}  // namespace Vextra
