#include "core/common_info.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/after_exit.h"

namespace Vextra {
namespace {

class CommonInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { info.ResetForTesting(); }
  CommonInfo& info = CommonInfo::Instance();
};

TEST_F(CommonInfoTest, FreshStoreHasItsDefaults) {
  EXPECT_EQ(info.GetLogLevel(), 2);
  EXPECT_TRUE(info.GetCrashUploadEnable());
  EXPECT_EQ(info.GetDisplayMem(), 1u);
  EXPECT_EQ(info.GetDumpType(), 0);
  EXPECT_FALSE(info.GetCustomLogPathSet());
  EXPECT_FALSE(info.GetCustomWorkspace());
  EXPECT_FALSE(info.GetDataDirReady());
  for (const std::string& text :
       {info.GetOsVer(), info.GetGpu(), info.GetDisplayVersion(), info.GetMac(), info.GetCpu(),
        info.GetSessionId(), info.GetLastSessionId(), info.GetServerEnv(), info.GetUserId(),
        info.GetAppVersion(), info.GetProcessName(), info.GetStrategyJson(), info.GetDeviceId(),
        info.GetAppId(), info.GetServerUrl(), info.GetGameName(), info.GetConfigLogPath()}) {
    EXPECT_EQ(text, "");
  }
  EXPECT_EQ(info.GetWorkspace(), L"");
  EXPECT_EQ(info.GetDataDir(), L"");
  EXPECT_EQ(info.GetCustomLogPath(), L"");
  EXPECT_TRUE(info.GetIgnoredDlls().empty());
  EXPECT_GT(info.GetBootTime(), 0);
}

TEST_F(CommonInfoTest, ReportSettingsCopyEachFieldFromItsOwnSetting) {
  // Every value distinct, so a field copied from the wrong setting shows.
  info.SetAppId("app");
  info.SetAppVersion("ver");
  info.SetOsVer("os");
  info.SetSessionId("session");
  info.SetDeviceId("device");
  info.SetMac("mac");
  info.SetDisplayMem(4096);
  info.SetGpu("gpu");
  info.SetDisplayVersion("driver");
  info.SetCpu("cpu");
  info.SetServerEnv("env");
  info.SetUserId("user");
  info.SetProcessName("proc");
  info.SetBootTime(1234567);
  info.SetStrategyJson("{}");
  const ReportSettings s = info.GetReportSettings();
  const struct {
    const char* name;
    std::string got;
    std::string want;
  } kFields[] = {
      {"appId", s.appId, "app"},         {"appVersion", s.appVersion, "ver"},
      {"osVer", s.osVer, "os"},          {"sessionId", s.sessionId, "session"},
      {"deviceId", s.deviceId, "device"}, {"mac", s.mac, "mac"},
      {"gpu", s.gpu, "gpu"},             {"displayVersion", s.displayVersion, "driver"},
      {"cpu", s.cpu, "cpu"},             {"serverEnv", s.serverEnv, "env"},
      {"userId", s.userId, "user"},      {"processName", s.processName, "proc"},
      {"strategyJson", s.strategyJson, "{}"},
  };
  for (const auto& f : kFields) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(f.got, f.want);
  }
  EXPECT_EQ(s.displayMem, 4096u);
  EXPECT_EQ(s.bootTime, 1234567);
}

TEST_F(CommonInfoTest, DumpTypeAcceptsZeroSingleBitsAndTheFullMask) {
  for (int bit = 0; bit <= 21; ++bit) {
    SCOPED_TRACE(bit);
    EXPECT_TRUE(info.SetDumpType(1 << bit));
    EXPECT_EQ(info.GetDumpType(), 1 << bit);
  }
  static const struct {
    int32_t value;
    bool accepted;
  } kCases[] = {
      {0, true},          {0x3FFFFF, true},   {0x200000, true}, {3, false},         {0x400000, false},
      {-1, false},        {0x3FFFFE, false},  {0x7FFFFFFF, false}, {INT32_MIN, false}, {0x600000, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    info.SetDumpType(0x10);
    EXPECT_EQ(info.SetDumpType(c.value), c.accepted);
    EXPECT_EQ(info.GetDumpType(), c.accepted ? c.value : 0);
  }
}

TEST_F(CommonInfoTest, NullServerEnvAndDeviceIdChangeNothing) {
  EXPECT_TRUE(info.SetServerEnv("staging"));
  EXPECT_FALSE(info.SetServerEnv(nullptr));
  EXPECT_EQ(info.GetServerEnv(), "staging");
  EXPECT_TRUE(info.SetDeviceId("dev-1"));
  EXPECT_FALSE(info.SetDeviceId(nullptr));
  EXPECT_EQ(info.GetDeviceId(), "dev-1");
  EXPECT_TRUE(info.SetDeviceId(""));
  EXPECT_EQ(info.GetDeviceId(), "");
}

TEST_F(CommonInfoTest, DeviceIdIsFilledFromTheMacOnlyWhenEmpty) {
  EXPECT_TRUE(info.FillDeviceIdIfEmpty("00-1a-2b-3c-4d-5e"));
  EXPECT_EQ(info.GetDeviceId(), "00-1a-2b-3c-4d-5e");
  EXPECT_TRUE(info.SetDeviceId("host-device"));
  EXPECT_FALSE(info.FillDeviceIdIfEmpty("00-1a-2b-3c-4d-5e"));
  EXPECT_EQ(info.GetDeviceId(), "host-device");
}

// The host sets its device id while start-up fills the MAC in: whichever
// comes first, the host's id is what stays.
TEST_F(CommonInfoTest, HostDeviceIdSetDuringTheFillIsNeverOverwritten) {
  for (int round = 0; round < 2000; ++round) {
    info.ResetForTesting();
    std::atomic<bool> go{false};
    std::thread fill([&] {
      while (!go.load()) {
      }
      info.FillDeviceIdIfEmpty("00-1a-2b-3c-4d-5e");
    });
    go.store(true);
    ASSERT_TRUE(info.SetDeviceId("host-device"));
    fill.join();
    ASSERT_EQ(info.GetDeviceId(), "host-device") << "round " << round;
  }
}

TEST(CommonInfoExitTest, SettingsOutliveTheStaticDestructors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        vextra_test::CheckAtExit([] { return CommonInfo::Instance().GetUserId() == "player"; });
        CommonInfo::Instance().SetUserId("player");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(CommonInfoTest, IgnoredDllsMatchWholeNamesCaseInsensitively) {
  info.AddIgnoredDll("GameOverlay64.DLL");
  EXPECT_TRUE(info.IsIgnoredDll("gameoverlay64.dll"));
  EXPECT_TRUE(info.IsIgnoredDll("GAMEOVERLAY64.DLL"));
  EXPECT_FALSE(info.IsIgnoredDll("gameoverlay64"));
  EXPECT_FALSE(info.IsIgnoredDll("xgameoverlay64.dll"));
  EXPECT_EQ(info.GetIgnoredDlls(), std::set<std::string>{"GAMEOVERLAY64.DLL"});
}

TEST_F(CommonInfoTest, WorkspaceJoinsLumaroWithAForwardSlashAndKeepsBackSlashes) {
  info.SetWorkspace(L"C:\\Games\\Demo", false);
  EXPECT_EQ(info.GetWorkspace(), L"C:\\Games\\Demo/lumaro");
  EXPECT_FALSE(info.GetCustomWorkspace());
  info.SetWorkspace(L"D:\\Other", true);
  EXPECT_EQ(info.GetWorkspace(), L"D:\\Other/lumaro");
  EXPECT_TRUE(info.GetCustomWorkspace());
  info.SetWorkspace(L"E:\\Again", false);  // a later default does not unmark the host's choice
  EXPECT_TRUE(info.GetCustomWorkspace());
}

TEST_F(CommonInfoTest, LogPathRewriteKeepsAWorkspaceTheHostChose) {
  EXPECT_TRUE(info.SetWorkspaceFromLogPath(L"C:\\logs\\game.log"));
  EXPECT_EQ(info.GetWorkspace(), L"C:\\logs\\game.log/lumaro");
  EXPECT_FALSE(info.GetCustomWorkspace());
  info.SetWorkspace(L"D:\\Saved", true);
  EXPECT_FALSE(info.SetWorkspaceFromLogPath(L"C:\\logs\\game.log"));
  EXPECT_EQ(info.GetWorkspace(), L"D:\\Saved/lumaro");
}

TEST_F(CommonInfoTest, WidePathsKeepAtMost259Characters) {
  std::wstring long_path(400, L'p');
  info.SetCustomLogPath(long_path);
  EXPECT_TRUE(info.GetCustomLogPathSet());
  EXPECT_EQ(info.GetCustomLogPath(), long_path.substr(0, 259));
  info.SetWorkspace(long_path, true);
  EXPECT_EQ(info.GetWorkspace().size(), 259u);
}

TEST_F(CommonInfoTest, MachineFactsAreCutToTheirBuffers) {
  info.SetCpu(std::string(300, 'c'));
  info.SetOsVer(std::string(300, 'o'));
  info.SetMac(std::string(40, 'm'));
  EXPECT_EQ(info.GetCpu().size(), 255u);
  EXPECT_EQ(info.GetOsVer().size(), 255u);
  EXPECT_EQ(info.GetMac().size(), 32u);
}

TEST_F(CommonInfoTest, SettingsEchoesGoToStandardOutput) {
  testing::internal::CaptureStdout();
  info.SetAppId("app-7");
  info.SetServerUrl("https://collector.example");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "set SetAppId: app-7set url: https://collector.example");
  EXPECT_EQ(info.GetAppId(), "app-7");
  EXPECT_EQ(info.GetServerUrl(), "https://collector.example");
}

TEST_F(CommonInfoTest, MemoryStatusLeavesValuesWithoutSystemInformation) {
  int32_t total = -7, used = -8, process = -9;
  info.GetMemoryStatus(&total, &used, &process);
  EXPECT_EQ(total, -7);
  EXPECT_EQ(used, -8);
  EXPECT_EQ(process, -9);
  info.GetMemoryStatus(nullptr, nullptr, nullptr);  // absent out-places are skipped
}

}  // namespace
}  // namespace Vextra
