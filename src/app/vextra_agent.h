#pragma once
// The upload side's start-up and its re-sends: applies the stored strategy
// (and refuses to start when it switches the library off), starts the report
// threads, begins the run's session and marks the library initialised; then,
// in the background before the report threads take their queue, sends again
// the bodies earlier runs did not deliver and prunes old records with their
// data files.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/base_singleton.h"

namespace Vextra {

class DbManager;
class StrategyManager;

// Starts the two report threads as StartReportThreads does: both or none
// (false); released runs on the caller once both exist, beforeQueue on the
// preprocess thread before it takes its first record.
using ReportThreadStarter =
    std::function<bool(const std::function<void()>& released, std::function<void()> beforeQueue)>;

// What the agent works with; null members mean the process's own (the
// database is opened only after the data directory is prepared). The
// records must outlive the background re-send of Init.
struct AgentServices {
  DbManager* records = nullptr;
  StrategyManager* strategy = nullptr;
  ReportThreadStarter startReportThreads;  // null: StartReportThreads
};


class VextraAgent : public BaseSingleton<VextraAgent> {
 public:
  VextraAgent() = default;
  explicit VextraAgent(AgentServices services) : services_(std::move(services)) {}
  ~VextraAgent() override = default;

  // Runs on the host's thread that started the library, while the library is
  // not initialised, and returns once the local work is done: the re-send of
  // stored bodies and the pruning of old records run on the preprocess thread
  // before it takes its first record. True when the library is now
  // initialised; false, leaving it as it was, when the stored strategy
  // switches it off or the report threads could not both be started.
  bool Init();

  // A fresh session id; the previous run's becomes lastSessionId; the new one
  // is stored as the last.
  void BeginSession();

  // Posts each stored body again, in list order (command 830, type 101, bytes
  // unchanged), and sets its record: 1 on an answer, 3 when the file cannot
  // be opened; an empty file is skipped. The first body without an answer
  // gets 2 and ends the pass: the server is out of reach, and the bodies after
  // it keep their records (and retry counts) as they were. False when the
  // library is not initialised.
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
