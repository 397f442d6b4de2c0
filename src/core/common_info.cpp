#include "core/common_info.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>

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

class CommonInfo::Reading {
 public:
  // The count goes up before the pointer is read: a setter that then finds no
  // reader counted knows every later reader sees its newer State.
  explicit Reading(const CommonInfo& info) : readers_(info.readers_) {
    readers_.fetch_add(1, std::memory_order_seq_cst);
    state_ = info.published_.load(std::memory_order_seq_cst);
  }
  ~Reading() { readers_.fetch_sub(1, std::memory_order_release); }
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;

  const State* operator->() const { return state_; }

 private:
  std::atomic<int32_t>& readers_;
  const State* state_;
};

CommonInfo::State* CommonInfo::FreshState() {
  State* state = new State();
  state->bootTime = static_cast<int64_t>(std::time(nullptr));
  return state;
}

CommonInfo::CommonInfo() { published_.store(FreshState()); }

CommonInfo::~CommonInfo() {
  delete published_.exchange(nullptr);
  for (State* state : retired_) delete state;
}

CommonInfo& CommonInfo::Instance() {
  static CommonInfo* const info = new CommonInfo();
  return *info;
}

template <typename Change>
bool CommonInfo::Update(Change&& change) {
  OwnerLockGuard lock(writeLock_, kUpdateWaitMs);
  if (!lock.Acquired()) return false;
  // Setters are serialised by the lock, so the published State stays the same
  // until this one replaces it.
  std::unique_ptr<State> next(new State(*published_.load(std::memory_order_acquire)));
  if (!change(*next)) return false;
  State* replaced = published_.exchange(next.release(), std::memory_order_seq_cst);
  try {
    retired_.push_back(replaced);
  } catch (...) {
    // Out of memory: the replaced copy is kept for good rather than freed
    // under a reader.
  }
  if (readers_.load(std::memory_order_seq_cst) == 0) {
    for (State* state : retired_) delete state;
    retired_.clear();
  }
  return true;
}

void CommonInfo::ResetForTesting() {
  std::unique_ptr<State> fresh(FreshState());
  Update([&](State& state) {
    state = *fresh;
    return true;
  });
  logLevel_ = 2;
}

ReportSettings CommonInfo::GetReportSettings() const {
  const Reading state(*this);
  ReportSettings settings;
  settings.appId = state->appId;
  settings.appVersion = state->appVersion;
  settings.osVer = state->osVer;
  settings.sessionId = state->sessionId;
  settings.deviceId = state->deviceId;
  settings.mac = state->mac;
  settings.displayMem = state->displayMem;
  settings.gpu = state->gpu;
  settings.displayVersion = state->displayVersion;
  settings.cpu = state->cpu;
  settings.serverEnv = state->serverEnv;
  settings.userId = state->userId;
  settings.processName = state->processName;
  settings.bootTime = state->bootTime;
  settings.strategyJson = state->strategyJson;
  return settings;
}

// Plain field access: a copy out of the published State, or a changed State
// published.
#define VEXTRA_GETTER(Type, Name, field) \
  Type CommonInfo::Get##Name() const {   \
    const Reading state(*this);          \
    return state->field;                 \
  }
#define VEXTRA_SETTER(Type, Name, field, expr) \
  void CommonInfo::Set##Name(Type value) {     \
    Update([&](State& state) {                 \
      state.field = expr;                      \
      return true;                             \
    });                                        \
  }

VEXTRA_GETTER(std::shared_ptr<lumarobase::SystemInfo>, SystemInfo, systemInfo)
VEXTRA_SETTER(std::shared_ptr<lumarobase::SystemInfo>, SystemInfo, systemInfo, std::move(value))
VEXTRA_GETTER(int32_t, DumpType, dumpType)
VEXTRA_GETTER(bool, CrashUploadEnable, crashUploadEnable)
VEXTRA_SETTER(bool, CrashUploadEnable, crashUploadEnable, value)
VEXTRA_GETTER(bool, CustomLogPathSet, customLogPathSet)
VEXTRA_GETTER(std::wstring, CustomLogPath, customLogPath)
VEXTRA_GETTER(std::string, OsVer, osVer)
VEXTRA_SETTER(const std::string&, OsVer, osVer, CutNarrow(value, kFactChars - 1))
VEXTRA_GETTER(std::string, Gpu, gpu)
VEXTRA_SETTER(const std::string&, Gpu, gpu, CutNarrow(value, kFactChars - 1))
VEXTRA_GETTER(std::string, DisplayVersion, displayVersion)
VEXTRA_SETTER(const std::string&, DisplayVersion, displayVersion, CutNarrow(value, kFactChars - 1))
VEXTRA_GETTER(std::string, Mac, mac)
VEXTRA_SETTER(const std::string&, Mac, mac, CutNarrow(value, kMaxMacUsed))
VEXTRA_GETTER(uint32_t, DisplayMem, displayMem)
VEXTRA_SETTER(uint32_t, DisplayMem, displayMem, value)
VEXTRA_GETTER(std::string, Cpu, cpu)
VEXTRA_SETTER(const std::string&, Cpu, cpu, CutNarrow(value, kMaxCpuUsed))
VEXTRA_GETTER(std::string, SessionId, sessionId)
VEXTRA_SETTER(const std::string&, SessionId, sessionId, value)
VEXTRA_GETTER(std::string, LastSessionId, lastSessionId)
VEXTRA_SETTER(const std::string&, LastSessionId, lastSessionId, value)
VEXTRA_GETTER(std::string, ServerEnv, serverEnv)
VEXTRA_GETTER(std::string, UserId, userId)
VEXTRA_SETTER(const std::string&, UserId, userId, value)
VEXTRA_GETTER(std::string, AppVersion, appVersion)
VEXTRA_SETTER(const std::string&, AppVersion, appVersion, value)
VEXTRA_GETTER(std::string, ProcessName, processName)
VEXTRA_SETTER(const std::string&, ProcessName, processName, value)
VEXTRA_GETTER(std::wstring, Workspace, workspace)
VEXTRA_GETTER(bool, DataDirReady, dataDirReady)
VEXTRA_SETTER(bool, DataDirReady, dataDirReady, value)
VEXTRA_GETTER(bool, CustomWorkspace, customWorkspace)
VEXTRA_GETTER(std::wstring, DataDir, dataDir)
VEXTRA_SETTER(const std::wstring&, DataDir, dataDir, CutWide(value))
VEXTRA_GETTER(std::string, StrategyJson, strategyJson)
VEXTRA_SETTER(const std::string&, StrategyJson, strategyJson, value)
VEXTRA_GETTER(std::string, DeviceId, deviceId)
VEXTRA_GETTER(std::string, AppId, appId)
VEXTRA_GETTER(std::string, ServerUrl, serverUrl)
VEXTRA_GETTER(std::string, GameName, gameName)
VEXTRA_SETTER(const std::string&, GameName, gameName, value)
VEXTRA_GETTER(std::string, ConfigLogPath, configLogPath)
VEXTRA_SETTER(const std::string&, ConfigLogPath, configLogPath, value)
VEXTRA_GETTER(bool, OwnDumpWriterFirst, ownDumpWriterFirst)
VEXTRA_SETTER(bool, OwnDumpWriterFirst, ownDumpWriterFirst, value)
VEXTRA_GETTER(int64_t, BootTime, bootTime)
VEXTRA_SETTER(int64_t, BootTime, bootTime, value)
VEXTRA_GETTER(std::set<std::string>, IgnoredDlls, ignoredDlls)

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
  const bool accepted = IsAcceptedDumpType(value);
  Update([&](State& state) {
    state.dumpType = accepted ? value : 0;
    return true;
  });
  return accepted;
}

void CommonInfo::SetCustomLogPath(const std::wstring& path) {
  Update([&](State& state) {
    state.customLogPath = CutWide(path);
    state.customLogPathSet = true;
    return true;
  });
}

bool CommonInfo::SetServerEnv(const char* value) {
  if (value == nullptr) return false;
  return Update([&](State& state) {
    state.serverEnv = value;
    return true;
  });
}

void CommonInfo::SetWorkspace(const std::wstring& directory, bool custom) {
  const std::wstring joined = JoinWithSlash(directory, kWorkspaceDirName);
  Update([&](State& state) {
    state.workspace = joined;
    if (custom) state.customWorkspace = true;
    return true;
  });
}

bool CommonInfo::SetWorkspaceFromLogPath(const std::wstring& log_path) {
  const std::wstring joined = JoinWithSlash(log_path, kWorkspaceDirName);
  return Update([&](State& state) {
    if (state.customWorkspace) return false;
    state.workspace = joined;
    return true;
  });
}

bool CommonInfo::SetDeviceId(const char* value) {
  if (value == nullptr) return false;
  return Update([&](State& state) {
    state.deviceId = value;
    return true;
  });
}

bool CommonInfo::FillDeviceIdIfEmpty(const std::string& value) {
  return Update([&](State& state) {
    if (!state.deviceId.empty()) return false;
    state.deviceId = value;
    return true;
  });
}

void CommonInfo::SetAppId(const std::string& value) {
  std::string stored = value;
  Update([&](State& state) {
    state.appId = value;
    stored = state.appId;
    return true;
  });
  std::printf("set SetAppId: %s", stored.c_str());
}

void CommonInfo::SetServerUrl(const std::string& value) {
  std::string stored = value;
  Update([&](State& state) {
    state.serverUrl = value;
    stored = state.serverUrl;
    return true;
  });
  std::printf("set url: %s", stored.c_str());
}

void CommonInfo::AddIgnoredDll(const std::string& name) {
  const std::string upper = UpperCased(name);
  Update([&](State& state) {
    state.ignoredDlls.insert(upper);
    return true;
  });
}

bool CommonInfo::IsIgnoredDll(const std::string& name) const {
  const std::string upper = UpperCased(name);
  const Reading state(*this);
  return state->ignoredDlls.count(upper) != 0;
}

void CommonInfo::GetMemoryStatus(int32_t* total_mib, int32_t* used_mib, int32_t* process_mib) const {
  std::shared_ptr<lumarobase::SystemInfo> info = GetSystemInfo();
  if (info) info->GetMemoryInfo(total_mib, used_mib, process_mib);
}

}  // namespace Vextra
