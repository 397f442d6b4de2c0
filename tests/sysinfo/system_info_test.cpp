#include "sysinfo/system_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sysinfo/mac_text.h"

namespace lumarobase {
namespace {

TEST(SystemInfo, MemoryFiguresArePlausibleAndNullPlacesAreSkipped) {
  SystemInfo info;
  int32_t total = -7, used = -7, working_set = -7;
  info.GetMemoryInfo(&total, &used, &working_set);
  EXPECT_GT(total, 0);
  EXPECT_GE(used, 0);
  EXPECT_LE(used, total);
  EXPECT_GE(working_set, 0);
  EXPECT_LE(working_set, total);

  int32_t only_total = -7;
  info.GetMemoryInfo(&only_total, nullptr, nullptr);
  EXPECT_GT(only_total, 0);
  info.GetMemoryInfo(nullptr, nullptr, nullptr);
}

TEST(SystemInfo, MacAddressIsWrittenInStoredFormOrNotAtAll) {
  SystemInfo info;
  char mac[32];
  std::strcpy(mac, "untouched");
  uint32_t error = info.GetMacAddress(mac, sizeof mac);
  if (error == 0) {
    EXPECT_TRUE(vextra_test::IsMacText(mac)) << mac;
    // The bound is kept: capacity 6 holds "xx-xx" and its terminator.
    char small[16];
    std::memset(small, 'x', sizeof small);
    ASSERT_EQ(info.GetMacAddress(small, 6), 0u);
    EXPECT_EQ(std::string(small), std::string(mac, 5));
    EXPECT_EQ(small[6], 'x');
  } else {
    EXPECT_STREQ(mac, "untouched");
  }
}

TEST(SystemInfo, AfterCloseQueriesWriteNothingButMemoryAndMacStillAnswer) {
  SystemInfo info;
  char mac_open[32] = "";
  uint32_t mac_error = info.GetMacAddress(mac_open, sizeof mac_open);
  info.Close();
  info.Close();  // a second close is harmless
  EXPECT_FALSE(info.IsReady());

  char cpu[64] = "kept";
  info.GetCpuName(cpu, sizeof cpu);
  EXPECT_STREQ(cpu, "kept");

  char gpu[64] = "kept gpu";
  char driver[64] = "kept driver";
  int32_t memory = 1;
  info.GetGpuInfo(gpu, sizeof gpu, driver, sizeof driver, &memory);
  EXPECT_STREQ(gpu, "kept gpu");
  EXPECT_STREQ(driver, "kept driver");
  EXPECT_EQ(memory, 1);

  char version[64] = "kept version";
  info.GetOsVersion(version);
  EXPECT_STREQ(version, "kept version");

  char os[64] = "";
  info.GetOsName(os, sizeof os);
  EXPECT_STREQ(os, "unknow os");

  int32_t total = 0;
  info.GetMemoryInfo(&total, nullptr, nullptr);
  EXPECT_GT(total, 0);

  char mac_closed[32] = "";
  EXPECT_EQ(info.GetMacAddress(mac_closed, sizeof mac_closed), mac_error);
  EXPECT_STREQ(mac_closed, mac_open);
}

TEST(SystemInfo, NamesTheOperatingSystemWithinItsBound) {
  SystemInfo info;
  char os[256] = "";
  info.GetOsName(os, sizeof os);
  EXPECT_GT(std::strlen(os), 0u);

  char small[8];
  std::memset(small, 'x', sizeof small);
  info.GetOsName(small, 5);
  EXPECT_EQ(std::string(small), std::string(os).substr(0, 4));
  EXPECT_EQ(small[5], 'x');
}

}  // namespace
}  // namespace lumarobase
