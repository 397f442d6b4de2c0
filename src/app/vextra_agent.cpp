#include "app/vextra_agent.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/library_threads.h"
#include "db/db_manager.h"
#include "db/record_rules.h"
#include "intake/report_threads.h"
#include "log/sdk_log.h"
#include "platform/file_system.h"
#include "platform/guid.h"
#include "report/data_file_system.h"
#include "report/file_manager.h"
#include "uploader/report_builder.h"
#include "uploader/strategy_manager.h"
#include "uploader/upload_task_factory.h"

namespace Vextra {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

// The whole file, or false when it cannot be opened. An empty or unsized file
// gives true with no bytes.
bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  std::unique_ptr<FILE, FileCloser> file(platform::OpenFile(path, "rb"));
  if (!file) return false;
  bytes->clear();
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return true;
  const long length = std::ftell(file.get());
  if (length <= 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return true;
  bytes->resize(static_cast<size_t>(length));
  bytes->resize(std::fread(&(*bytes)[0], 1, bytes->size(), file.get()));
  return true;
}

// Error data files of earlier runs that have a body but no record: their
// process ended between writing the file and recording it. They are recorded
// now (uploadable, status 0) so that the interrupted bodies' re-send takes
// them. Only files written within the shorter record lifetime are taken: an
// older one may be the body of a record already pruned (delivered, or given
// up), which must never be sent again. Crash data files are left alone:
// whether they were to be withheld is not known.
void RecordUnrecordedErrorFiles(DbManager& records) {
  const std::wstring data_dir = CommonInfo::Instance().GetDataDir();
  if (data_dir.empty() || !records.IsOpen()) return;
  std::vector<std::wstring> known_list;
  if (!records.SelectAllPaths(&known_list)) return;
  const std::set<std::wstring> known(known_list.begin(), known_list.end());
  const std::wstring stem = L"error_data.info_";
  const int64_t oldest = records.Now() - kSentRecordLifetimeSeconds;
  for (const std::wstring& name : platform::FileNamesIn(data_dir)) {
    int64_t written = 0;
    // A ".part" name, or any other, does not parse: not a body that was moved in.
    if (name.compare(0, stem.size(), stem) != 0 || !DataFileSeconds(name, &written)) continue;
    if (written < oldest) continue;
    const std::wstring path = data_dir + L"/" + name;
    if (known.count(path) != 0) continue;
    std::string body;
    if (!ReadWholeFile(path, &body) || body.empty()) continue;  // a name taken, no body moved in
    records.InsertCrashRecord(path, "", true);
  }
}

// Posts the bodies at paths again in order; stops after the first that got no
// answer (see VextraAgent::UploadPendingFiles).
void ResendBodies(DbManager& records, const std::vector<std::wstring>& paths) {
  std::string body;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::wstring& path = paths[i];
    if (!ReadWholeFile(path, &body)) {
      records.UpdateCrashStatus(path, kStatusGivenUp);
      continue;
    }
    if (body.empty()) continue;  // listed again at the next start
    std::unique_ptr<UploadTask> task = UploadTaskFactory::Instance().CreateTask(kCmdReport, kReportTypeCrash);
    const bool answered = task->SendRaw(body.data(), static_cast<int32_t>(body.size()));
    task.reset();
    records.UpdateCrashStatus(path, answered ? kStatusSent : kStatusFailed);
    if (!answered) {
      LogDebug("Re-send stopped: no answer from the server; %d stored bodies wait for the next start.\n",
               static_cast<int>(paths.size() - i - 1));
      return;
    }
  }
}

// Deletes old records (CleanupCrashRecords) and the data files no record
// names any more, so a pruned body can never be taken up again. Only data
// files in the data directory are removed.
void PruneOldRecords(DbManager& records) {
  std::vector<std::wstring> released;
  records.CleanupCrashRecords(&released);
  const std::wstring data_dir = CommonInfo::Instance().GetDataDir();
  for (const std::wstring& path : released) {
    if (!DataFileNameIn(path, data_dir).empty()) platform::RemoveFile(path);
  }
}

}  // namespace

DbManager& VextraAgent::Records() {
  return services_.records != nullptr ? *services_.records : DbManager::Instance();
}

StrategyManager& VextraAgent::Strategy() {
  return services_.strategy != nullptr ? *services_.strategy : StrategyManager::Instance();
}

bool VextraAgent::Init() {
  // Storage first, in this order: the workspace and its data directory, then
  // the database inside it (a database opened before its directory exists
  // would stay closed for the whole run).
  FileManager::Instance();
  DbManager& records = Records();

  Strategy().Update(records.LoadStrategy());
  if (Strategy().IsDisabled()) {
    LogDebug("Init failed! Vextra is closed by remote strategy!\n");
    return false;
  }

  // The bodies to send again, listed before this run can record a report of
  // its own (reports need the initialised flag, set below), so a body this
  // run is sending is never sent twice: failed ones, then those of earlier
  // runs that reached their record but whose process ended before the answer.
  RecordUnrecordedErrorFiles(records);
  std::vector<std::wstring> pending;
  records.SelectFailedPaths(&pending);
  std::vector<std::wstring> interrupted;
  records.SelectInterruptedPaths(&interrupted);
  pending.insert(pending.end(), interrupted.begin(), interrupted.end());

  // The network part runs on the preprocess thread, off the host's thread,
  // before that thread takes the first queued report.
  DbManager* db = &records;
  std::function<void()> background = [db, pending = std::move(pending)] {
    ResendBodies(*db, pending);
    PruneOldRecords(*db);
  };
  // Once both report threads exist: the session, then the flag.
  const std::function<void()> released = [this] {
    BeginSession();
    MarkInitialized();
  };
  const bool started = services_.startReportThreads
                           ? services_.startReportThreads(released, std::move(background))
                           : StartReportThreads(released, std::move(background));
  if (!started) {
    LogAlways("Init failed! The report threads could not be started.\n");
    return false;
  }
  return true;
}

void VextraAgent::BeginSession() {
  CommonInfo& info = CommonInfo::Instance();
  info.SetSessionId(platform::NewGuidText());
  const std::string last = Records().GetLastSessionId();
  info.SetLastSessionId(last);
  Records().SetLastSessionId(info.GetSessionId(), !last.empty());
}

bool VextraAgent::UploadPendingFiles(const std::vector<std::wstring>& paths) {
  if (!IsInitialized()) return false;
  ResendBodies(Records(), paths);
  return true;
}

bool VextraAgent::UploadCrashWithGuid(const std::string& guid) {
  if (!IsInitialized()) return false;
  std::vector<std::wstring> paths;
  Records().SelectPathsByGuid(&paths, guid);
  UploadPendingFiles(paths);
  return true;
}

int32_t VextraAgent::UploadAccessInfo() {
  CommonInfo& info = CommonInfo::Instance();
  LogAlways("Begin get access info\n");
  LogAlways("app:[%s],domain:[%s]\n", info.GetAppId().c_str(), info.GetServerUrl().c_str());
  int32_t result = -1;
  {
    std::unique_ptr<UploadTask> task = UploadTaskFactory::Instance().CreateUserInfoTask();
    result = task->SendUserInfo();
  }
  LogDebug("uploadDLLInfo UploadAccessInfo over: %d\n", static_cast<int>(result));
  return 0;
}

void StartAccessInfoThread() {
  std::thread([] {
    PrepareLibraryThreadForCrashes();
    try {
      VextraAgent::UploadAccessInfo();
    } catch (...) {
      // Only memory exhaustion throws here; nothing may end the host.
    }
  }).detach();
}

}  // namespace Vextra
