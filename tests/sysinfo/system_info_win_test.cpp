#include "sysinfo/system_info.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/text_encoding.h"
#include "sysinfo/gpu_choice.h"
#include "sysinfo/mac_text.h"
#include "support/wmic_query_win.h"

namespace lumarobase {
namespace {

using vextra_test::Contains;
using vextra_test::StoredMacForm;
using vextra_test::WmicColumn;

class SystemInfoWmi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(info.IsReady()) << "both management namespaces should connect"; }
  void TearDown() override { info.Close(); }
  SystemInfo info;
};

TEST_F(SystemInfoWmi, ProcessorNameIsWhatWin32ProcessorReports) {
  std::vector<std::string> names = WmicColumn("path Win32_Processor get Name");
  ASSERT_FALSE(names.empty()) << "wmic answered nothing";
  char cpu[256] = "";
  info.GetCpuName(cpu, 255);
  EXPECT_GT(std::strlen(cpu), 0u);
  EXPECT_EQ(cpu, names.back());
}

TEST_F(SystemInfoWmi, AdapterFactsComeFromOneReportedAdapter) {
  std::vector<std::string> captions = WmicColumn("path Win32_VideoController get Caption");
  std::vector<std::string> drivers = WmicColumn("path Win32_VideoController get DriverVersion");
  std::vector<std::string> memories = WmicColumn("path Win32_VideoController get AdapterRAM");
  ASSERT_FALSE(captions.empty());
  char name[256] = "", driver[256] = "";
  int32_t memory = 1;
  info.GetGpuInfo(name, 255, driver, 255, &memory);
  EXPECT_TRUE(Contains(captions, name)) << name;
  EXPECT_TRUE(Contains(drivers, driver)) << driver;
  if (captions.size() == 1 && memories.size() == 1) {
    EXPECT_EQ(memory, AdapterRamToMib(static_cast<uint32_t>(std::stoul(memories[0]))));
  }
}

TEST_F(SystemInfoWmi, OperatingSystemNameCarriesTheReportedBuild) {
  std::vector<std::string> versions = WmicColumn("os get Version");
  ASSERT_EQ(versions.size(), 1u);
  char version[64] = "";
  info.GetOsVersion(version);
  EXPECT_EQ(version, versions[0]);

  char os[256] = "";
  info.GetOsName(os, 255);
  int major = 0, minor = 0, build = 0;
  ASSERT_EQ(std::sscanf(version, "%d.%d.%d", &major, &minor, &build), 3) << version;
  std::string name = os;
  EXPECT_EQ(name.rfind("Microsoft Windows ", 0), 0u) << name;
  if (major == 10) {
    const std::string suffix = "(" + std::to_string(build) + ")";
    ASSERT_GE(name.size(), suffix.size());
    EXPECT_EQ(name.substr(name.size() - suffix.size()), suffix) << name;
  }
}

TEST_F(SystemInfoWmi, MacAddressIsOneOfTheReportedAdapters) {
  std::vector<std::string> macs = WmicColumn("nic get MACAddress");
  for (std::string& mac : macs) mac = StoredMacForm(mac);
  char mac[32] = "";
  ASSERT_EQ(info.GetMacAddress(mac, sizeof mac), 0u);
  EXPECT_TRUE(vextra_test::IsMacText(mac)) << mac;
  EXPECT_TRUE(Contains(macs, mac)) << mac;
}

// Runs body on a fresh thread, so the test program's own COM state plays no part.
template <typename Body>
void OnNewThread(Body body) {
  std::thread thread(body);
  thread.join();
}

TEST(SystemInfoCom, OwnInitialisationIsUndoneByClose) {
  OnNewThread([] {
    {
      SystemInfo info;
      EXPECT_TRUE(info.IsReady());
      info.Close();
    }
    // Not initialised any more: a new request is the first again.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(hr, S_OK);
    if (SUCCEEDED(hr)) CoUninitialize();
  });
}

TEST(SystemInfoCom, DestroyingWithoutCloseReleasesToo) {
  OnNewThread([] {
    { SystemInfo info; }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(hr, S_OK);
    if (SUCCEEDED(hr)) CoUninitialize();
  });
}

TEST(SystemInfoCom, HostMultithreadedApartmentMeansNoFactsAndStaysInitialised) {
  OnNewThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      SystemInfo info;
      EXPECT_FALSE(info.IsReady());
      char cpu[64] = "kept";
      info.GetCpuName(cpu, sizeof cpu);
      EXPECT_STREQ(cpu, "kept");
      char os[64] = "";
      info.GetOsName(os, sizeof os);
      EXPECT_STREQ(os, "unknow os");
      info.Close();
    }
    // The host's initialisation survives: a further request only counts up.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(hr, S_FALSE);
    if (SUCCEEDED(hr)) CoUninitialize();
    CoUninitialize();
  });
}

TEST(SystemInfoCom, HostSingleThreadedApartmentStaysInitialised) {
  OnNewThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
      SystemInfo info;
      EXPECT_TRUE(info.IsReady());
      char cpu[256] = "";
      info.GetCpuName(cpu, 255);
      EXPECT_GT(std::strlen(cpu), 0u);
      info.Close();
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(hr, S_FALSE);
    if (SUCCEEDED(hr)) CoUninitialize();
    CoUninitialize();
  });
}

}  // namespace
}  // namespace lumarobase
