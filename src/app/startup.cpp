#include "app/startup.h"

#include <mutex>

#include "app/start_up_guard.h"
#include "app/vextra_agent.h"
#include "core/common_info.h"
#include "core/config_file.h"
#include "core/process_flags.h"
#include "crash/crash_context.h"
#include "crash/crash_decisions.h"
#include "crash/crash_install.h"
#include "crash/ignored_modules.h"
#include "log/sdk_log.h"
#include "platform/path_text.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

struct AttachState {
  std::once_flag once;
  std::string executable_path;  // written once under `once`
};

AttachState& Attach() {
  static AttachState state;
  return state;
}

// Never destroyed: a host thread may call start-up while the process exits.
std::mutex& StartUpMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

}  // namespace

void RunAttachSetup() {
  AttachState& state = Attach();
  std::call_once(state.once, [&state] {
    CHcSpyGlobal& context = CHcSpyGlobal::Instance();
    SnapshotIgnoredDllNames();
    RefreshIgnoredModules();
    state.executable_path = platform::ExecutablePathNarrow();
    context.SetHostPath(state.executable_path.c_str());
  });
}

std::string HostExecutablePath() {
  RunAttachSetup();
  return Attach().executable_path;
}

void LoadHostInfo() {
  ReadConfigFiles();
  CommonInfo::Instance().CollectDeviceInfo();
}

namespace {

void InitHookContextSteps() {
  try {
    LogDebug("pxr start\n");
    LogDebug("ShortName: %s\n", CommonInfo::Instance().GetProcessName().c_str());
    LoadHostInfo();
    // The crash path matches module names against this copy, never the settings.
    SnapshotIgnoredDllNames();
    LogDebug("Begin Hook\n");
    if (IsCaptureEnabled()) InstallCrashHandlers();
  } catch (...) {
    LogDebug("InitHookContext fail \n");
  }
}

}  // namespace

// The first half of start-up, on the host's thread (under the start-up lock).
// A C++ exception or a fault inside it is logged and start-up goes on.
void InitHookContext() {
  LogDebug("hook thread is %d\n", static_cast<int>(platform::ThreadId()));
  uint32_t code = 0;
  if (!RunUnderStartUpGuard(&InitHookContextSteps, &code)) LogDebug("InitHookContext fail \n");
}

void StartUp(const char* user_id, const char* app_version, const char* reserved) {
  CommonInfo& info = CommonInfo::Instance();
  LogDebug("SetConfig: Init Vextra\n");
  if (user_id != nullptr && *user_id != '\0') info.SetUserId(user_id);
  if (app_version != nullptr && *app_version != '\0') info.SetAppVersion(app_version);
  info.SetProcessName(platform::FileNamePart(HostExecutablePath()));

  std::string user = info.GetUserId();
  std::string version = info.GetAppVersion();
  LogDebug("Pramas: %s %s %s\n", user.c_str(), version.c_str(), reserved != nullptr ? reserved : "");
  LogDebug("userInfoID: %s--bootTime:[%d]\n", user.c_str(), static_cast<int>(info.GetBootTime()));
  LogDebug("gameVersion: %s\n", version.c_str());

  {
    // Two host threads starting the library at once take turns: the second
    // finds the library initialised (or runs the whole start-up again when
    // the strategy refused the first).
    std::lock_guard<std::mutex> lock(StartUpMutex());
    if (!IsInitialized()) {
      InitHookContext();
      VextraAgent::Instance().Init();
    }
  }
  // Every call, initialised, refused or already running: one user-information
  // request, whose answer also carries the strategy for the next start.
  StartAccessInfoThread();
}

}  // namespace Vextra
