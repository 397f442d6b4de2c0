#pragma once
// The settings store: what the host told the library and what it learned about
// the machine. Every value lives in one immutable copy of the whole store that
// each change replaces: getters read the copy published last without taking
// any lock, so a writer that stopped or died while changing a value never
// holds up a reader, a crashing thread's report included.

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/base_singleton.h"
#include "log/owner_lock.h"

namespace lumarobase {
class SystemInfo;
}

namespace Vextra {

// Capacities of the fixed character buffers the values are cut to (the
// terminator takes the last place).
constexpr size_t kWidePathChars = 260;
constexpr size_t kFactChars = 256;
constexpr size_t kCpuChars = 260;
constexpr size_t kMaxCpuUsed = 255;
constexpr size_t kMaxMacUsed = 32;

// "%s/%s": the joint the workspace and data-directory paths are built with.
std::wstring JoinWithSlash(const std::wstring& directory, const wchar_t* name);
// Whether directory joined with "/lumaro" fits the workspace's 259 characters
// uncut.
bool WorkspaceFits(const std::wstring& directory);

// The settings one request is built from, copied together from one published
// copy of the store, so that a report never mixes values from before and after
// a setter.
struct ReportSettings {
  std::string appId;
  std::string appVersion;
  std::string osVer;
  std::string sessionId;
  std::string deviceId;
  std::string mac;
  uint32_t displayMem = 1;
  std::string gpu;
  std::string displayVersion;
  std::string cpu;
  std::string serverEnv;
  std::string userId;
  std::string processName;
  int64_t bootTime = 0;
  std::string strategyJson;
};

class CommonInfo : public BaseSingleton<CommonInfo> {
 public:
  // How long a setter waits for another setter. A setter holds the lock only
  // to copy and publish the store, so only a holder that died or stopped makes
  // the wait run out; the change is then dropped (a setter returning bool
  // returns false).
  static constexpr uint32_t kUpdateWaitMs = 1000;

  CommonInfo();
  ~CommonInfo() override;

  // The process's store. Never destroyed: report threads, crash handlers and
  // unload code may still read it while the process exits.
  static CommonInfo& Instance();

  // Every setting a request's envelope and report fields use, from one copy.
  // Getters, this one included, never wait: they read the copy published last.
  // crash path: takes no lock, allocates only the copies it returns.
  ReportSettings GetReportSettings() const;

  std::shared_ptr<lumarobase::SystemInfo> GetSystemInfo() const;
  void SetSystemInfo(std::shared_ptr<lumarobase::SystemInfo> info);

  int32_t GetDumpType() const;
  // Stores 0, a single bit up to 0x200000, or 0x3FFFFF and returns true;
  // anything else stores 0 and returns false.
  bool SetDumpType(int32_t value);
  static bool IsAcceptedDumpType(int32_t value);

  bool GetCrashUploadEnable() const;
  void SetCrashUploadEnable(bool enable);

  bool GetCustomLogPathSet() const;
  std::wstring GetCustomLogPath() const;
  // Keeps at most 259 characters and marks the custom log path as set.
  void SetCustomLogPath(const std::wstring& path);

  std::string GetOsVer() const;
  void SetOsVer(const std::string& value);
  std::string GetGpu() const;
  void SetGpu(const std::string& value);
  std::string GetDisplayVersion() const;
  void SetDisplayVersion(const std::string& value);
  std::string GetMac() const;
  void SetMac(const std::string& value);
  uint32_t GetDisplayMem() const;
  void SetDisplayMem(uint32_t mib);
  std::string GetCpu() const;
  void SetCpu(const std::string& value);

  std::string GetSessionId() const;
  void SetSessionId(const std::string& value);
  std::string GetLastSessionId() const;
  void SetLastSessionId(const std::string& value);
  std::string GetServerEnv() const;
  // A null text changes nothing and returns false.
  bool SetServerEnv(const char* value);
  std::string GetUserId() const;
  void SetUserId(const std::string& value);
  std::string GetAppVersion() const;
  void SetAppVersion(const std::string& value);
  std::string GetProcessName() const;
  void SetProcessName(const std::string& value);

  std::wstring GetWorkspace() const;
  // Stores directory + "/lumaro" (at most 259 characters); marks the workspace
  // as chosen by the host when custom is true.
  void SetWorkspace(const std::wstring& directory, bool custom);
  // The rewrite an error report with a log path makes: stores log_path +
  // "/lumaro" without marking it as the host's choice. A workspace the host
  // chose is kept, since crash dumps are written straight into it and a path
  // below a log file cannot exist. Returns whether the workspace changed.
  bool SetWorkspaceFromLogPath(const std::wstring& log_path);
  bool GetDataDirReady() const;
  void SetDataDirReady(bool ready);
  bool GetCustomWorkspace() const;
  std::wstring GetDataDir() const;
  void SetDataDir(const std::wstring& dir);

  // A plain atomic: the native log checks it on every host log line, from any
  // thread.
  int32_t GetLogLevel() const;
  void SetLogLevel(int32_t level);
  std::string GetStrategyJson() const;
  void SetStrategyJson(const std::string& json);

  std::string GetDeviceId() const;
  // A null text changes nothing and returns false.
  bool SetDeviceId(const char* value);
  // Stores value as the device id when none is set, testing and storing in one
  // step under the setters' lock, so an id the host sets meanwhile is never
  // overwritten. Returns whether value was stored.
  bool FillDeviceIdIfEmpty(const std::string& value);
  std::string GetAppId() const;
  // Stores the id and echoes "set SetAppId: %s" to standard output.
  void SetAppId(const std::string& value);
  std::string GetServerUrl() const;
  // Stores the address and echoes "set url: %s" to standard output.
  void SetServerUrl(const std::string& value);
  std::string GetGameName() const;
  void SetGameName(const std::string& value);
  std::string GetConfigLogPath() const;
  void SetConfigLogPath(const std::string& value);
  // Whether crash dumps are written by the library's own writer first, the
  // system's only when it fails (the configuration file's "<OwnDumpWriter>").
  bool GetOwnDumpWriterFirst() const;
  void SetOwnDumpWriterFirst(bool value);

  int64_t GetBootTime() const;
  void SetBootTime(int64_t seconds);

  std::set<std::string> GetIgnoredDlls() const;
  // Upper-cases the name byte by byte (C runtime toupper) and stores it.
  void AddIgnoredDll(const std::string& name);
  bool IsIgnoredDll(const std::string& name) const;

  // Creates the system-information object, fills cpu, gpu, displayVersion,
  // displayMem, osVer and mac (and deviceId when still empty), then closes the
  // object's query connections. Runs at start-up on the host's thread.
  void CollectDeviceInfo();

  // Total physical memory, physical memory in use and the process working set,
  // in MiB, from the system-information object. Absent out-places are skipped;
  // an out-value whose query fails (or with no system information) is left as is.
  void GetMemoryStatus(int32_t* total_mib, int32_t* used_mib, int32_t* process_mib) const;

  // Tests only: returns every field to its default.
  void ResetForTesting();

  // Tests only: runs body while the calling thread holds the setters' lock.
  template <typename Body>
  void HoldLockForTesting(Body&& body) {
    OwnerLockGuard lock(writeLock_);
    body();
  }

 private:
  // Every value of the store. A published State is never changed; a setter
  // publishes a changed copy.
  struct State {
    std::shared_ptr<lumarobase::SystemInfo> systemInfo;
    int32_t dumpType = 0;
    bool ownDumpWriterFirst = false;
    bool crashUploadEnable = true;
    bool customLogPathSet = false;
    std::wstring customLogPath;
    std::string osVer;
    std::string gpu;
    std::string displayVersion;
    std::string mac;
    uint32_t displayMem = 1;
    std::string cpu;
    std::string sessionId;
    std::string lastSessionId;
    std::string serverEnv;
    std::string userId;
    std::string appVersion;
    std::string processName;
    std::wstring workspace;
    bool dataDirReady = false;
    bool customWorkspace = false;
    std::wstring dataDir;
    std::string strategyJson;
    std::string deviceId;
    std::string appId;
    std::string serverUrl;
    std::string gameName;
    std::string configLogPath;
    int64_t bootTime = 0;
    std::set<std::string> ignoredDlls;
  };
  // Pins the published State for one read: a State is freed only when no
  // reader is counted. Never waits, allocates nothing.
  class Reading;
  friend class Reading;

  static State* FreshState();
  // Under the setters' lock (waiting at most kUpdateWaitMs): copies the
  // published State, lets change alter the copy and publishes it; replaced
  // copies are freed once no reader is counted. False, publishing nothing,
  // when change returns false or the lock stayed taken.
  template <typename Change>
  bool Update(Change&& change);

  OwnerLock writeLock_;
  std::atomic<State*> published_{nullptr};
  mutable std::atomic<int32_t> readers_{0};
  std::vector<State*> retired_;  // guarded by writeLock_
  std::atomic<int32_t> logLevel_{2};
};

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: `step` runs inside CollectDeviceInfo between the processor and
// the graphics facts, as a query of the system would (null: nothing runs).
void SetDeviceFactStepForTesting(void (*step)());
}  // namespace Vextra::testing_hooks
