// The exports' own behaviour: conversions, refusals and SDK log lines.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/crash_callbacks.h"
#include "crash/crash_options.h"
#include "log/sdk_log.h"
#include "vextra.h"

namespace Vextra {
namespace {

// Reads what the process's SDK log gained since the fixture started.
class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommonInfo::Instance().ResetForTesting();
    testing_hooks::ResetInitializedForTesting();
    SetDebugMode(false);
    SdkLog::Instance().PrintAlways("--- %s\n", ::testing::UnitTest::GetInstance()->current_test_info()->name());
    start_ = LogText().size();
  }
  void TearDown() override {
    SetDebugMode(false);
    testing_hooks::ResetInitializedForTesting();
  }

  static std::string LogText() {
    std::ifstream in(std::filesystem::path(SdkLog::Instance().FilePath()), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
  }
  std::string NewLogText() const { return LogText().substr(start_); }
  bool Logged(const std::string& message) const { return NewLogText().find(":" + message) != std::string::npos; }

 private:
  size_t start_ = 0;
};

TEST_F(ExportsTest, DebugModeLineIsWrittenUnderTheOldSetting) {
  EXPECT_TRUE(VX_ConfigDebugMode(true));
  EXPECT_FALSE(Logged("ConfigDebugMode: true \n"));
  EXPECT_FALSE(VX_ConfigDebugMode(false));
  EXPECT_TRUE(Logged("ConfigDebugMode: false \n"));
  EXPECT_FALSE(IsDebugMode());
}

TEST_F(ExportsTest, SettersLogTheirDebugLinesOnlyInDebugMode) {
  VX_SetAppVersion("0.9");
  EXPECT_FALSE(Logged("SetAppVersion")) << NewLogText();
  EXPECT_EQ(CommonInfo::Instance().GetAppVersion(), "0.9");

  VX_ConfigDebugMode(true);
  VX_SetAppVersion("1.0");
  VX_SetAppVersion(nullptr);
  VX_ConfigCrashServerUrl("https://c.example");
  VX_SetUserId("user-1");
  VX_ConfigCrashReporter(4);
  EXPECT_TRUE(Logged("SetAppVersion: app version is 1.0 \n"));
  EXPECT_EQ(CommonInfo::Instance().GetAppVersion(), "1.0");
  EXPECT_TRUE(Logged("ConfigCrashServerUrl: crash server url is https://c.example \n"));
  EXPECT_EQ(CommonInfo::Instance().GetServerUrl(), "https://c.example");
  EXPECT_TRUE(Logged("SetUserIdImp: user id is user-1 \n"));
  EXPECT_EQ(CommonInfo::Instance().GetUserId(), "user-1");
  EXPECT_TRUE(Logged("ConfigCrashReporter: log_level is 4 \n"));
  EXPECT_EQ(CommonInfo::Instance().GetLogLevel(), 4);
}

TEST_F(ExportsTest, ServerUrlThatNamesNoReachableServerIsRefusedWithOneLine) {
  static const struct {
    const char* text;
    bool accepted;
  } kCases[] = {
      {"crash.example.com", true},           {"https://crash.example.com", true},
      {"https://crash.example.com:8443", true}, {"crash.example.com:8443", true},
      {"", true},                            {"http://crash.example.com", false},
      {"https://crash.example.com/pb/async", false}, {"https://crash.example.com:70000", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    CommonInfo::Instance().SetServerUrl("kept.example.com");
    const size_t before = LogText().size();
    VX_ConfigCrashServerUrl(c.text);
    const std::string added = LogText().substr(before);
    EXPECT_EQ(CommonInfo::Instance().GetServerUrl(), c.accepted ? c.text : "kept.example.com");
    const std::string refusal = std::string("ConfigCrashServerUrl: refused \"") + c.text + "\"";
    // Written whether or not debug mode is on, once per refused call.
    const size_t at = added.find(refusal);
    EXPECT_EQ(at != std::string::npos, !c.accepted) << added;
    if (at != std::string::npos) EXPECT_EQ(added.find(refusal, at + 1), std::string::npos) << added;
  }
}

TEST_F(ExportsTest, DeviceIdAndEnvironmentAreRefusedOnceInitialised) {
  VX_ConfigDebugMode(true);
  EXPECT_FALSE(VX_SetDeviceId(nullptr));
  EXPECT_TRUE(VX_SetDeviceId("dev-1"));
  EXPECT_TRUE(VX_SetEnvironmentName("prod"));
  EXPECT_TRUE(Logged("SetDeviceIdImp: device id is dev-1 \n"));
  EXPECT_TRUE(Logged("SetServerEnviroment: server env is prod\n"));

  MarkInitialized();
  EXPECT_FALSE(VX_SetDeviceId("dev-2"));
  EXPECT_FALSE(VX_SetEnvironmentName("test"));
  EXPECT_EQ(CommonInfo::Instance().GetDeviceId(), "dev-1");
  EXPECT_EQ(CommonInfo::Instance().GetServerEnv(), "prod");
  EXPECT_TRUE(Logged("Failed to set device id because vextra was inited.\n"));
  EXPECT_TRUE(Logged("Failed to set server environment because vextra was inited.\n"));
}

TEST_F(ExportsTest, DumpTypeGoesThroughTheSettingsRule) {
  VX_ConfigDebugMode(true);
  EXPECT_TRUE(VX_SetDumpType(0x200000));
  EXPECT_FALSE(VX_SetDumpType(3));
  EXPECT_EQ(CommonInfo::Instance().GetDumpType(), 0);
  EXPECT_TRUE(Logged("SetDumpTypeImp: device id is 3 \n"));
}

TEST_F(ExportsTest, InitWithEmptyAppIdLogsAndDoesNothingElse) {
  VX_ConfigDebugMode(true);
  testing::internal::CaptureStdout();
  VX_InitWithAppId("");
  VX_InitWithAppId(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(Logged("InitWithAppId: app id is  \n"));
  EXPECT_FALSE(Logged("SetConfig: Init Vextra\n"));
  EXPECT_EQ(CommonInfo::Instance().GetAppId(), "");
}

TEST_F(ExportsTest, InitWithAppIdStoresTheIdAndRunsTheStartUpEntryKeepingIdentity) {
  VX_SetUserId("player");
  VX_SetAppVersion("2.1");
  VX_ConfigDebugMode(true);
  testing::internal::CaptureStdout();
  VX_InitWithAppId("app-42");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "set SetAppId: app-42");
  EXPECT_EQ(CommonInfo::Instance().GetAppId(), "app-42");
  EXPECT_EQ(CommonInfo::Instance().GetUserId(), "player");
  EXPECT_EQ(CommonInfo::Instance().GetAppVersion(), "2.1");
  EXPECT_TRUE(Logged("SetConfig: Init Vextra\n"));
  EXPECT_TRUE(Logged("Pramas: player 2.1 \n"));
  EXPECT_TRUE(Logged("gameVersion: 2.1\n"));
  EXPECT_FALSE(CommonInfo::Instance().GetProcessName().empty());
  EXPECT_EQ(CommonInfo::Instance().GetProcessName().find_first_of("/\\"), std::string::npos);
}

TEST_F(ExportsTest, StartUpCollectsDeviceFactsAndKeepsTheHostsDeviceId) {
  VX_InitWithAppId("app-1");
  CommonInfo& info = CommonInfo::Instance();
  EXPECT_FALSE(info.GetOsVer().empty());
  EXPECT_FALSE(info.GetCpu().empty());
  EXPECT_EQ(info.GetDeviceId(), info.GetMac());

  // A fresh process: the first start-up initialised the library, which
  // refuses a device id from then on.
  info.ResetForTesting();
  testing_hooks::ResetInitializedForTesting();
  VX_SetDeviceId("host-device");
  VX_InitWithAppId("app-1");
  EXPECT_EQ(info.GetDeviceId(), "host-device");
}

TEST_F(ExportsTest, SessionIdIsCopiedWithoutTerminatorAndNothingBeforeStartUp) {
  char buffer[40];
  std::memset(buffer, 0, sizeof buffer);
  VX_GetSessionId(buffer);
  EXPECT_EQ(buffer[0], '\0');
  VX_GetSessionId(nullptr);

  CommonInfo::Instance().SetSessionId("0123456789ABCDEF0123456789ABCDEF");
  std::memset(buffer, '#', sizeof buffer);
  VX_GetSessionId(buffer);
  EXPECT_EQ(std::string(buffer, 32), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(buffer[32], '#');
}

TEST_F(ExportsTest, WorkspaceAndCustomLogPathConversions) {
  VX_ConfigDebugMode(true);
  VX_SetWorkSpace(nullptr);
  EXPECT_TRUE(Logged("Failed to set custom workspace.\n"));
  EXPECT_FALSE(CommonInfo::Instance().GetCustomWorkspace());

  VX_SetWorkSpace("C:\\Game\\Saved");
  EXPECT_EQ(CommonInfo::Instance().GetWorkspace(), L"C:\\Game\\Saved/lumaro");
  EXPECT_TRUE(CommonInfo::Instance().GetCustomWorkspace());
  EXPECT_TRUE(Logged("Success to set custom workspace.\n"));
  VX_SetWorkSpaceW(L"D:\\W");
  EXPECT_EQ(CommonInfo::Instance().GetWorkspace(), L"D:\\W/lumaro");

  SetCustomLogDir(nullptr);
  EXPECT_FALSE(CommonInfo::Instance().GetCustomLogPathSet());
  std::string long_path(300, 'a');
  VX_SetCustomLogDir(long_path.c_str());
  EXPECT_TRUE(CommonInfo::Instance().GetCustomLogPathSet());
  EXPECT_EQ(CommonInfo::Instance().GetCustomLogPath(), std::wstring(259, L'a'));
  VX_SetCustomLogDirW(L"E:\\logs\\game.log");
  EXPECT_EQ(CommonInfo::Instance().GetCustomLogPath(), L"E:\\logs\\game.log");
}

TEST_F(ExportsTest, EmptyOrOverLongWorkspaceIsRefusedAndTheEarlierOneStays) {
  VX_ConfigDebugMode(true);
  CommonInfo& info = CommonInfo::Instance();
  VX_SetWorkSpace("");
  EXPECT_EQ(info.GetWorkspace(), L"");
  EXPECT_FALSE(info.GetCustomWorkspace());
  EXPECT_TRUE(Logged("Failed to set custom workspace.\n"));

  // 252 characters and "/lumaro" fill the 259 a workspace holds.
  static const struct {
    const char* what;
    size_t length;
    bool accepted;
  } kCases[] = {
      {"empty", 0, false}, {"fits exactly", 252, true}, {"one too long", 253, false}, {"far too long", 400, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    VX_SetWorkSpaceW(L"D:\\Kept");
    VX_SetWorkSpace(std::string(c.length, 'n').c_str());
    EXPECT_EQ(info.GetWorkspace(), c.accepted ? std::wstring(c.length, L'n') + L"/lumaro" : L"D:\\Kept/lumaro");
    VX_SetWorkSpaceW(L"D:\\Kept");
    VX_SetWorkSpaceW(std::wstring(c.length, L'w').c_str());
    EXPECT_EQ(info.GetWorkspace(), c.accepted ? std::wstring(c.length, L'w') + L"/lumaro" : L"D:\\Kept/lumaro");
  }
}

TEST_F(ExportsTest, ErrorReportLogPathRewritesOnlyAWorkspaceTheHostDidNotChoose) {
  CommonInfo& info = CommonInfo::Instance();
  VX_ReportException(1, "ScriptError", "nil value", "main.lua:12", "", false, nullptr);
  EXPECT_EQ(info.GetWorkspace(), L"");
  VX_ReportExceptionW(1, "ScriptError", "nil value", "main.lua:12", "", false, L"C:\\logs\\wide.log");
  EXPECT_EQ(info.GetWorkspace(), L"");

  VX_ReportException(1, "ScriptError", "nil value", "main.lua:12", "", true, "C:\\logs\\game.log");
  EXPECT_EQ(info.GetWorkspace(), L"C:\\logs\\game.log/lumaro");
  EXPECT_FALSE(info.GetCustomWorkspace());

  // Dumps go straight into a chosen workspace: a log file's path must not replace it.
  VX_SetWorkSpace("D:\\Saved");
  VX_ReportException(1, "ScriptError", "nil value", "main.lua:12", "", false, "C:\\logs\\other.log");
  EXPECT_EQ(info.GetWorkspace(), L"D:\\Saved/lumaro");
  EXPECT_TRUE(info.GetCustomWorkspace());
}

TEST_F(ExportsTest, CrashUploadSwitchHasNoLogLine) {
  VX_ConfigDebugMode(true);
  VX_SetCrashUploadEnable(false);
  EXPECT_FALSE(CommonInfo::Instance().GetCrashUploadEnable());
  VX_SetCrashUploadEnable(true);
  EXPECT_TRUE(CommonInfo::Instance().GetCrashUploadEnable());
  // Report and access-information threads of earlier tests may still be
  // logging; only a line about the switch itself would be wrong.
  const std::string text = NewLogText();
  EXPECT_EQ(text.find("rashUpload"), std::string::npos) << text;
  EXPECT_EQ(text.find("rash upload"), std::string::npos) << text;
}

void HostCrashCallback(int32_t, const char*) {}
const char* EngineCallback(int32_t code, int32_t kind, int32_t reserved) {
  static char text[64];
  std::snprintf(text, sizeof text, "%d/%d/%d", code, kind, reserved);
  return text;
}

TEST_F(ExportsTest, CallbackRegistrationsReturnTheirArgumentAndLog) {
  VX_ConfigDebugMode(true);
  auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&HostCrashCallback));
  EXPECT_EQ(VX_SetCrashCallback(address), address);
  EXPECT_TRUE(Logged("SetCrashCallback: " + std::to_string(address) + "\n"));
  EXPECT_EQ(TakeCrashCallback(), &HostCrashCallback);
  EXPECT_EQ(TakeCrashCallback(), nullptr);  // consumed by the first crash

  EXPECT_EQ(SetInitializedCallback(77), 77u);
  EXPECT_TRUE(Logged("SetInitializedCallback: 77\n"));
}

TEST_F(ExportsTest, EngineCallbackReplacesAndClearsTheObserver) {
  VX_ConfigDebugMode(true);
  struct HostObserver : HRBCrashObserver {} host_observer;
  vx_setUnityCallback(&EngineCallback);
  ASSERT_NE(GetCrashObserver(), nullptr);
  EXPECT_STREQ(GetCrashObserver()->OnCrashExtraMessage(107), "1012/107/0");
  EXPECT_TRUE(Logged("SetCrashObserver succeed \n"));
  EXPECT_TRUE(Logged("setUnityCallback succeed \n"));

  VX_SetCrashObserver(&host_observer);
  EXPECT_EQ(GetCrashObserver(), &host_observer);
  vx_setUnityCallback(nullptr);
  EXPECT_EQ(GetCrashObserver(), nullptr);
  EXPECT_TRUE(Logged("crashObserver is null \n"));
  EXPECT_TRUE(Logged("unity callback is null \n"));
}

TEST_F(ExportsTest, CrashSwitchesAndAcceptedCodes) {
  EXPECT_TRUE(VX_SetVehEnable(true));
  EXPECT_TRUE(IsVehEnabled());
  EXPECT_FALSE(SetVehEnable(false));
  EXPECT_FALSE(IsVehEnabled());

  VX_AddValidExpCode(static_cast<int32_t>(0xE0000001u));
  EXPECT_TRUE(IsAcceptedCode(0xE0000001u));
  VX_UnrealCriticalErrorEnable(false);
  EXPECT_FALSE(IsAcceptedCode(0x4000));
  VX_UnrealCriticalErrorEnable(true);
  VX_UnrealCriticalErrorEnable(false);  // nothing is removed
  EXPECT_TRUE(IsAcceptedCode(0x4000));
  EXPECT_TRUE(IsAcceptedCode(0x8000));
}

TEST_F(ExportsTest, UploadCrashWithGuidNeedsAnInitialisedLibrary) {
  EXPECT_FALSE(VX_UploadCrashWithGuid("0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_FALSE(VX_UploadCrashWithGuid(nullptr));
}

TEST_F(ExportsTest, DumpUploadEntriesLogAndReturnAtOnce) {
  VX_ConfigDebugMode(true);
  EXPECT_EQ(VX_UploadGivenPathDump("C:\\dumps", true), 0);
  EXPECT_EQ(UploadGivenPathDump(nullptr, false), 0);
  EXPECT_TRUE(Logged("UploadSysDumpAsync. \n"));
  EXPECT_EQ(VX_ReportDump("C:\\dumps\\a.dmp", true), 0);
  EXPECT_TRUE(Logged("ReportDump\n"));
}

}  // namespace
}  // namespace Vextra
