// Exports: start-up, identity and the settings the host may set.

#include <atomic>
#include <cinttypes>

#include "api/export_guard.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/dump/dump_settings.h"
#include "app/startup.h"
#include "log/sdk_log.h"
#include "platform/text_encoding.h"
#include "uploader/server_address.h"
#include "vextra.h"

using namespace Vextra;

namespace {

const char* Printable(const char* text) { return text != nullptr ? text : "(null)"; }

// An empty directory would put the library's files at the root of the drive,
// and one too long for "/lumaro" would be cut into a different directory: both
// are refused like a null one, and the workspace beside the library stays.
void SetWorkspaceFromHost(const wchar_t* directory) {
  if (directory == nullptr || *directory == L'\0' || !WorkspaceFits(directory)) {
    LogDebug("Failed to set custom workspace.\n");
    return;
  }
  CommonInfo::Instance().SetWorkspace(directory, true);
  RefreshDumpSettings();  // the dump writer reads its own copy on a faulting thread
  LogDebug("Success to set custom workspace.\n");
}

std::atomic<uint64_t> g_initialized_callback{0};  // stored for the host; never called

}  // namespace

extern "C" {

void SetPXRConfig(const char* user_id, const char* app_version, const char* reserved) {
  Guarded([&] { StartUp(user_id, app_version, reserved); });
}

void VX_InitContext(const char* user_id, const char* app_version, const char* reserved) {
  SetPXRConfig(user_id, app_version, reserved);
}

void VX_InitWithAppId(const char* app_id) {
  Guarded([&] {
    LogDebug("InitWithAppId: app id is %s \n", Printable(app_id));
    if (app_id == nullptr || *app_id == '\0') return;
    CommonInfo::Instance().SetAppId(app_id);
    SetPXRConfig("", "", "");
  });
}

void VX_SetAppVersion(const char* app_version) {
  Guarded([&] {
    LogDebug("SetAppVersion: app version is %s \n", Printable(app_version));
    if (app_version != nullptr) CommonInfo::Instance().SetAppVersion(app_version);
  });
}

void VX_ConfigCrashServerUrl(const char* server_url) {
  Guarded([&] {
    LogDebug("ConfigCrashServerUrl: crash server url is %s \n", Printable(server_url));
    if (server_url == nullptr) return;
    // Refused, leaving the setting as it was: a text that names no server
    // this library can reach. The empty text still clears the setting.
    ServerAddress address;
    std::string why;
    if (*server_url != '\0' && !ParseServerAddress(server_url, &address, &why)) {
      LogAlways("ConfigCrashServerUrl: refused \"%s\": %s; write host, host:port or https://host:port\n", server_url,
                why.c_str());
      return;
    }
    CommonInfo::Instance().SetServerUrl(server_url);
  });
}

void SetUserId(const char* user_id) {
  Guarded([&] {
    LogDebug("SetUserIdImp: user id is %s \n", Printable(user_id));
    if (user_id != nullptr) CommonInfo::Instance().SetUserId(user_id);
  });
}

void VX_SetUserId(const char* user_id) { SetUserId(user_id); }

bool VX_SetDeviceId(const char* device_id) {
  return Guarded(false, [&] {
    LogDebug("SetDeviceIdImp: device id is %s \n", Printable(device_id));
    if (!IsInitialized()) return CommonInfo::Instance().SetDeviceId(device_id);
    LogDebug("Failed to set device id because vextra was inited.\n");
    return false;
  });
}

bool VX_SetEnvironmentName(const char* environment) {
  return Guarded(false, [&] {
    LogDebug("SetServerEnviroment: server env is %s\n", Printable(environment));
    if (!IsInitialized()) return CommonInfo::Instance().SetServerEnv(environment);
    LogDebug("Failed to set server environment because vextra was inited.\n");
    return false;
  });
}

bool VX_SetDumpType(int32_t dump_type) {
  return Guarded(false, [&] {
    LogDebug("SetDumpTypeImp: device id is %d \n", dump_type);
    const bool accepted = CommonInfo::Instance().SetDumpType(dump_type);
    RefreshDumpSettings();  // the dump writer reads its own copy on a faulting thread
    return accepted;
  });
}

void VX_SetCrashUploadEnable(bool enable) {
  Guarded([&] { CommonInfo::Instance().SetCrashUploadEnable(HostBool(enable)); });
}

void VX_SetWorkSpace(const char* directory) {
  Guarded([&] {
    if (directory == nullptr) return SetWorkspaceFromHost(nullptr);
    // One character more than a path may hold, so an over-long one shows.
    std::wstring wide = platform::NarrowToWide(directory, kWidePathChars);
    SetWorkspaceFromHost(wide.c_str());
  });
}

void VX_SetWorkSpaceW(const wchar_t* directory) {
  Guarded([&] { SetWorkspaceFromHost(directory); });
}

void SetCustomLogDir(const char* log_file_path) {
  Guarded([&] {
    if (log_file_path == nullptr) return;
    CommonInfo::Instance().SetCustomLogPath(platform::NarrowToWide(log_file_path));
  });
}

void VX_SetCustomLogDir(const char* log_file_path) { SetCustomLogDir(log_file_path); }

void VX_SetCustomLogDirW(const wchar_t* log_file_path) {
  Guarded([&] {
    if (log_file_path != nullptr) CommonInfo::Instance().SetCustomLogPath(log_file_path);
  });
}

bool VX_ConfigDebugMode(bool enable) {
  const bool on = HostBool(enable);
  // The line is written under the old setting: switching on is silent,
  // switching off is logged.
  Guarded([&] { LogDebug("ConfigDebugMode: %s \n", on ? "true" : "false"); });
  SetDebugMode(on);
  return on;
}

void VX_ConfigCrashReporter(int32_t log_level) {
  Guarded([&] {
    LogDebug("ConfigCrashReporter: log_level is %d \n", log_level);
    CommonInfo::Instance().SetLogLevel(log_level);
  });
}

void VX_GetSessionId(char* out_buffer) {
  Guarded([&] {
    if (out_buffer == nullptr) return;
    std::string session = CommonInfo::Instance().GetSessionId();
    session.copy(out_buffer, session.size() < 32 ? session.size() : 32);
  });
}

uint64_t SetInitializedCallback(uint64_t callback) {
  Guarded([&] { LogDebug("SetInitializedCallback: %" PRIu64 "\n", callback); });
  g_initialized_callback.store(callback, std::memory_order_relaxed);
  return callback;
}

}  // extern "C"
