#include "core/common_info.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "core/protocol_names.h"
#include "sysinfo/system_info.h"

namespace Vextra {
namespace {

std::string CutNarrow(const std::string& value, size_t max_used) {
  return value.size() > max_used ? value.substr(0, max_used) : value;
}

std::wstring CutWide(const std::wstring& value) {
  return value.size() > kWidePathChars - 1 ? value.substr(0, kWidePathChars - 1) : value;
}

std::string UpperCased(const std::string& name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

}  // namespace

std::wstring JoinWithSlash(const std::wstring& directory, const wchar_t* name) {
  return CutWide(directory + L"/" + name);
}

bool WorkspaceFits(const std::wstring& directory) {
  return directory.size() + 1 + std::char_traits<wchar_t>::length(kWorkspaceDirName) <= kWidePathChars - 1;
}

CommonInfo::CommonInfo() { ResetLocked(); }
CommonInfo::~CommonInfo() = default;

CommonInfo& CommonInfo::Instance() {
  static CommonInfo* const info = new CommonInfo();
  return *info;
}

void CommonInfo::ResetLocked() {
  systemInfo_.reset();
  dumpType_ = 0;
  crashUploadEnable_ = true;
  customLogPathSet_ = false;
  customLogPath_.clear();
  osVer_.clear();
  gpu_.clear();
  displayVersion_.clear();
  mac_.clear();
  displayMem_ = 1;
  cpu_.clear();
  sessionId_.clear();
  lastSessionId_.clear();
  serverEnv_.clear();
  userId_.clear();
  appVersion_.clear();
  processName_.clear();
  workspace_.clear();
  dataDirReady_ = false;
  customWorkspace_ = false;
  dataDir_.clear();
  logLevel_ = 2;
  strategyJson_.clear();
  deviceId_.clear();
  appId_.clear();
  serverUrl_.clear();
  gameName_.clear();
  configLogPath_.clear();
  bootTime_ = static_cast<int64_t>(std::time(nullptr));
  ignoredDlls_.clear();
}

void CommonInfo::ResetForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  ResetLocked();
}

ReportSettings CommonInfo::GetReportSettings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  ReportSettings settings;
  settings.appId = appId_;
  settings.appVersion = appVersion_;
  settings.osVer = osVer_;
  settings.sessionId = sessionId_;
  settings.deviceId = deviceId_;
  settings.mac = mac_;
  settings.displayMem = displayMem_;
  settings.gpu = gpu_;
  settings.displayVersion = displayVersion_;
  settings.cpu = cpu_;
  settings.serverEnv = serverEnv_;
  settings.userId = userId_;
  settings.processName = processName_;
  settings.bootTime = bootTime_;
  settings.strategyJson = strategyJson_;
  return settings;
}

// Plain field access: a copy out or a value in, under the one mutex.
#define VEXTRA_GETTER(Type, Name, field)     \
  Type CommonInfo::Get##Name() const {       \
    std::lock_guard<std::mutex> lock(mutex_); \
    return field;                            \
  }
#define VEXTRA_SETTER(Type, Name, field, expr) \
  void CommonInfo::Set##Name(Type value) {     \
    std::lock_guard<std::mutex> lock(mutex_);  \
    field = expr;                              \
  }

VEXTRA_GETTER(std::shared_ptr<lumarobase::SystemInfo>, SystemInfo, systemInfo_)
VEXTRA_SETTER(std::shared_ptr<lumarobase::SystemInfo>, SystemInfo, systemInfo_, std::move(value))
VEXTRA_GETTER(int32_t, DumpType, dumpType_)
VEXTRA_GETTER(bool, CrashUploadEnable, crashUploadEnable_)
VEXTRA_SETTER(bool, CrashUploadEnable, crashUploadEnable_, value)
VEXTRA_GETTER(bool, CustomLogPathSet, customLogPathSet_)
VEXTRA_GETTER(std::wstring, CustomLogPath, customLogPath_)
VEXTRA_GETTER(std::string, OsVer, osVer_)
VEXTRA_SETTER(const std::string&, OsVer, osVer_, CutNarrow(value, kFactChars - 1))
VEXTRA_GETTER(std::string, Gpu, gpu_)
VEXTRA_SETTER(const std::string&, Gpu, gpu_, CutNarrow(value, kFactChars - 1))
VEXTRA_GETTER(std::string, DisplayVersion, displayVersion_)
VEXTRA_SETTER(const std::string&, DisplayVersion, displayVersion_, CutNarrow(value, kFactChars - 1))
VEXTRA_GETTER(std::string, Mac, mac_)
VEXTRA_SETTER(const std::string&, Mac, mac_, CutNarrow(value, kMaxMacUsed))
VEXTRA_GETTER(uint32_t, DisplayMem, displayMem_)
VEXTRA_SETTER(uint32_t, DisplayMem, displayMem_, value)
VEXTRA_GETTER(std::string, Cpu, cpu_)
VEXTRA_SETTER(const std::string&, Cpu, cpu_, CutNarrow(value, kMaxCpuUsed))
VEXTRA_GETTER(std::string, SessionId, sessionId_)
VEXTRA_SETTER(const std::string&, SessionId, sessionId_, value)
VEXTRA_GETTER(std::string, LastSessionId, lastSessionId_)
VEXTRA_SETTER(const std::string&, LastSessionId, lastSessionId_, value)
VEXTRA_GETTER(std::string, ServerEnv, serverEnv_)
VEXTRA_GETTER(std::string, UserId, userId_)
VEXTRA_SETTER(const std::string&, UserId, userId_, value)
VEXTRA_GETTER(std::string, AppVersion, appVersion_)
VEXTRA_SETTER(const std::string&, AppVersion, appVersion_, value)
VEXTRA_GETTER(std::string, ProcessName, processName_)
VEXTRA_SETTER(const std::string&, ProcessName, processName_, value)
VEXTRA_GETTER(std::wstring, Workspace, workspace_)
VEXTRA_GETTER(bool, DataDirReady, dataDirReady_)
VEXTRA_SETTER(bool, DataDirReady, dataDirReady_, value)
VEXTRA_GETTER(bool, CustomWorkspace, customWorkspace_)
VEXTRA_GETTER(std::wstring, DataDir, dataDir_)
VEXTRA_SETTER(const std::wstring&, DataDir, dataDir_, CutWide(value))
VEXTRA_GETTER(std::string, StrategyJson, strategyJson_)
VEXTRA_SETTER(const std::string&, StrategyJson, strategyJson_, value)
VEXTRA_GETTER(std::string, DeviceId, deviceId_)
VEXTRA_GETTER(std::string, AppId, appId_)
VEXTRA_GETTER(std::string, ServerUrl, serverUrl_)
VEXTRA_GETTER(std::string, GameName, gameName_)
VEXTRA_SETTER(const std::string&, GameName, gameName_, value)
VEXTRA_GETTER(std::string, ConfigLogPath, configLogPath_)
VEXTRA_SETTER(const std::string&, ConfigLogPath, configLogPath_, value)
VEXTRA_GETTER(int64_t, BootTime, bootTime_)
VEXTRA_SETTER(int64_t, BootTime, bootTime_, value)
VEXTRA_GETTER(std::set<std::string>, IgnoredDlls, ignoredDlls_)

#undef VEXTRA_GETTER
#undef VEXTRA_SETTER

int32_t CommonInfo::GetLogLevel() const { return logLevel_.load(std::memory_order_relaxed); }
void CommonInfo::SetLogLevel(int32_t level) { logLevel_.store(level, std::memory_order_relaxed); }

bool CommonInfo::IsAcceptedDumpType(int32_t value) {
  if (value == 0 || value == 0x3FFFFF) return true;
  if (value < 0 || value > 0x200000) return false;
  return (value & (value - 1)) == 0;
}

bool CommonInfo::SetDumpType(int32_t value) {
  bool accepted = IsAcceptedDumpType(value);
  std::lock_guard<std::mutex> lock(mutex_);
  dumpType_ = accepted ? value : 0;
  return accepted;
}

void CommonInfo::SetCustomLogPath(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  customLogPath_ = CutWide(path);
  customLogPathSet_ = true;
}

bool CommonInfo::SetServerEnv(const char* value) {
  if (value == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  serverEnv_ = value;
  return true;
}

void CommonInfo::SetWorkspace(const std::wstring& directory, bool custom) {
  std::wstring joined = JoinWithSlash(directory, kWorkspaceDirName);
  std::lock_guard<std::mutex> lock(mutex_);
  workspace_ = joined;
  if (custom) customWorkspace_ = true;
}

bool CommonInfo::SetWorkspaceFromLogPath(const std::wstring& log_path) {
  std::wstring joined = JoinWithSlash(log_path, kWorkspaceDirName);
  std::lock_guard<std::mutex> lock(mutex_);
  if (customWorkspace_) return false;
  workspace_ = joined;
  return true;
}

bool CommonInfo::SetDeviceId(const char* value) {
  if (value == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  deviceId_ = value;
  return true;
}

bool CommonInfo::FillDeviceIdIfEmpty(const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!deviceId_.empty()) return false;
  deviceId_ = value;
  return true;
}

void CommonInfo::SetAppId(const std::string& value) {
  std::string stored;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    appId_ = value;
    stored = appId_;
  }
  std::printf("set SetAppId: %s", stored.c_str());
}

void CommonInfo::SetServerUrl(const std::string& value) {
  std::string stored;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serverUrl_ = value;
    stored = serverUrl_;
  }
  std::printf("set url: %s", stored.c_str());
}

void CommonInfo::AddIgnoredDll(const std::string& name) {
  std::string upper = UpperCased(name);
  std::lock_guard<std::mutex> lock(mutex_);
  ignoredDlls_.insert(std::move(upper));
}

bool CommonInfo::IsIgnoredDll(const std::string& name) const {
  std::string upper = UpperCased(name);
  std::lock_guard<std::mutex> lock(mutex_);
  return ignoredDlls_.count(upper) != 0;
}

void CommonInfo::GetMemoryStatus(int32_t* total_mib, int32_t* used_mib, int32_t* process_mib) const {
  std::shared_ptr<lumarobase::SystemInfo> info = GetSystemInfo();
  if (info) info->GetMemoryInfo(total_mib, used_mib, process_mib);
}

}  // namespace Vextra
