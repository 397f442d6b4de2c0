#include <windows.h>

#include <gtest/gtest.h>
#include <objbase.h>

#include <cstdint>
#include <string>
#include <thread>

#include "core/common_info.h"
#include "sysinfo/mac_text.h"
#include "sysinfo/system_info.h"

namespace Vextra {
namespace {

// A host thread already in the multi-threaded apartment: the management
// queries cannot start, so only the facts that need no COM arrive.
class CollectOnMultithreadedHost : public ::testing::Test {
 protected:
  void SetUp() override { store.ResetForTesting(); }
  void TearDown() override { store.ResetForTesting(); }

  // Runs CollectDeviceInfo on a fresh thread that the host put in the
  // multi-threaded apartment, and checks the host's COM survives it.
  void CollectOnHostThread() {
    std::thread thread([this] {
      ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
      store.CollectDeviceInfo();
      HRESULT again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      EXPECT_EQ(again, S_FALSE) << "the host's COM initialisation was undone";
      if (SUCCEEDED(again)) CoUninitialize();
      CoUninitialize();
    });
    thread.join();
  }

  static std::string SystemMac() {
    lumarobase::SystemInfo info;
    char mac[32] = "";
    info.GetMacAddress(mac, sizeof mac);
    info.Close();
    return mac;
  }

  CommonInfo& store = CommonInfo::Instance();
};

TEST_F(CollectOnMultithreadedHost, FirstRunLeavesTheQueryFactsAtTheirDefaults) {
  CollectOnHostThread();
  EXPECT_EQ(store.GetCpu(), "");
  EXPECT_EQ(store.GetGpu(), "");
  EXPECT_EQ(store.GetDisplayVersion(), "");
  EXPECT_EQ(store.GetDisplayMem(), 1u);
  EXPECT_EQ(store.GetOsVer(), "unknow os");

  // The adapter address and the memory figures do not depend on the queries.
  const std::string mac = SystemMac();
  ASSERT_TRUE(vextra_test::IsMacText(mac)) << mac;
  EXPECT_EQ(store.GetMac(), mac);
  EXPECT_EQ(store.GetDeviceId(), mac);
  int32_t total = -1;
  store.GetMemoryStatus(&total, nullptr, nullptr);
  EXPECT_GT(total, 0);
}

TEST_F(CollectOnMultithreadedHost, FactsOfAnEarlierRunAreKept) {
  store.SetCpu("Intel(R) Core(TM) i7-9700K CPU @ 3.60GHz");
  store.SetGpu("NVIDIA GeForce GTX 1060");
  store.SetDisplayVersion("31.0.15.3623");
  store.SetDisplayMem(3072);
  ASSERT_TRUE(store.SetDeviceId("host-device-7"));

  CollectOnHostThread();
  EXPECT_EQ(store.GetCpu(), "Intel(R) Core(TM) i7-9700K CPU @ 3.60GHz");
  EXPECT_EQ(store.GetGpu(), "NVIDIA GeForce GTX 1060");
  EXPECT_EQ(store.GetDisplayVersion(), "31.0.15.3623");
  EXPECT_EQ(store.GetDisplayMem(), 3072u);
  EXPECT_EQ(store.GetDeviceId(), "host-device-7");
}

}  // namespace
}  // namespace Vextra
