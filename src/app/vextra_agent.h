#pragma once
// The upload side's start-up and its re-sends: applies the stored strategy
// (and refuses to start when it switches the library off), begins the run's
// session, marks the library initialised, sends again the bodies earlier runs
// did not deliver, prunes old records and starts the report threads.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/base_singleton.h"

namespace Vextra {

class DbManager;
class StrategyManager;

// What the agent works with; null members mean the process's own (the
// database is opened only after the data directory is prepared).
struct AgentServices {
  DbManager* records = nullptr;
  StrategyManager* strategy = nullptr;
  std::function<void()> startReportThreads;  // null: StartReportThreads
};


class VextraAgent : public BaseSingleton<VextraAgent> {
 public:
  VextraAgent() = default;
  explicit VextraAgent(AgentServices services) : services_(std::move(services)) {}
  ~VextraAgent() override = default;

  // Runs on the host's thread that started the library, while the library is
  // not initialised; re-sends block it. True when the library is now
  // initialised, false when the stored strategy switches it off.
  bool Init();

  // A fresh session id; the previous run's becomes lastSessionId; the new one
  // is stored as the last.
  void BeginSession();

  // Posts each stored body again (command 830, type 101, bytes unchanged) and
  // sets its record: 1 on an answer, 2 without one, 3 when the file cannot be
  // opened; an empty file is skipped. False when the library is not initialised.
  bool UploadPendingFiles(const std::vector<std::wstring>& paths);

  // Sends the bodies withheld under guid (status 0). False when the library
  // is not initialised.
  bool UploadCrashWithGuid(const std::string& guid);

  // Body of the access-information thread: the user-information request (840).
  static int32_t UploadAccessInfo();

 private:
  DbManager& Records();
  StrategyManager& Strategy();

  AgentServices services_;
};

// Starts a detached thread running VextraAgent::UploadAccessInfo.
void StartAccessInfoThread();

}  // namespace Vextra
