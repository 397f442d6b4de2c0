#include "uploader/upload_task.h"

#include "VextraPkg.pb.h"
#include "core/common_info.h"
#include "db/db_manager.h"
#include "db/record_rules.h"
#include "log/sdk_log.h"
#include "platform/guid.h"
#include "uploader/body_codec.h"
#include "uploader/report_builder.h"

namespace Vextra {
namespace {

constexpr char kEncodeName[] = "utf-8";
constexpr int32_t kRequestId = 1;
constexpr char kServantName[] = "KplServer";
constexpr char kFuncName[] = "sync";

// Serializes the packet around the borrowed envelope, taking it back before
// the packet is destroyed whatever happens, so the packet never deletes it.
std::string SerializePacket(VextraPkg::RequestPkg* envelope) {
  VextraPkg::UniPacket packet;
  packet.set_encodename(kEncodeName);
  packet.set_irequestid(kRequestId);
  packet.set_sservantname(kServantName);
  packet.set_sfuncname(kFuncName);
  packet.set_allocated_request(envelope);
  struct TakeBack {
    VextraPkg::UniPacket& packet;
    ~TakeBack() { (void)packet.release_request(); }
  } takeBack{packet};
  return packet.SerializeAsString();
}

}  // namespace

StrategyMap StrategyFromAnswer(const std::string& body) {
  VextraPkg::UniPacket packet;
  if (!packet.ParseFromString(DecompressBody(body))) packet.Clear();
  const VextraPkg::ResponsePkg& response = packet.response();
  if (!response.status().empty()) return StrategyMap{{kKeyVextraDisable, "1"}};

  VextraPkg::KplStrategy strategy;
  if (!strategy.ParseFromString(response.sbuffer())) strategy.Clear();
  return StrategyMap(strategy.valuemap().begin(), strategy.valuemap().end());
}

UploadTask::UploadTask(int32_t command, int32_t type, std::unique_ptr<HttpTransport> httpTransport,
                       UploadServices taskServices)
    : cmd(command),
      reportType(type),
      expuid(platform::NewGuidText()),
      transport(std::move(httpTransport)),
      services(taskServices) {
  const CommonInfo& settings = CommonInfo::Instance();
  headers = {{"cmd", std::to_string(cmd)},
             {"prodId", settings.GetAppId()},
             {"platformId", std::to_string(kPlatformId)},
             {"appVer", settings.GetAppVersion()}};
}

UploadTask::~UploadTask() = default;

DbManager* UploadTask::Records() {
  if (services.records != nullptr) return services.records;
  return reportType == kReportTypeCrash ? DbManager::InstanceWithin(kCrashRecordWaitMs) : &DbManager::Instance();
}

uint32_t UploadTask::RecordWaitMs() const {
  return reportType == kReportTypeCrash ? kCrashRecordWaitMs : DbManager::kWaitUnbounded;
}

StrategyManager& UploadTask::Strategy() {
  return services.strategy ? *services.strategy : StrategyManager::Instance();
}

int32_t UploadTask::Send() {
  try {
    return SendUnguarded();
  } catch (...) {
    // Out of memory while building or recording: nothing was delivered.
    return -1;
  }
}

int32_t UploadTask::SendUnguarded() {
  if (request == nullptr || transport == nullptr) {
    LogAlways("upload task has nothing to send\n");
    return -1;
  }
  std::string body;
  // A failed compression leaves the body empty; the request goes on regardless.
  (void)CompressBody(SerializePacket(request), &body);

  const bool crashUploadEnable = CommonInfo::Instance().GetCrashUploadEnable();
  wchar_t path[kWidePathChars] = {};
  DbManager* records = nullptr;  // set once the report's record is stored
  if (cmd != kCmdUserInfo && services.writeDataFile != nullptr) {
    // Without a data file there is nothing to re-send later, and a record with
    // an empty path would share its status updates with every other such record.
    if (services.writeDataFile(path, body.data(), static_cast<int64_t>(body.size()), reportType)) {
      records = Records();
      if (records == nullptr || !records->InsertCrashRecord(path, expuid, crashUploadEnable, RecordWaitMs())) {
        records = nullptr;
        LogAlways("record of report %s not stored, sending it without one\n", expuid.c_str());
      }
    }
  }

  // Withheld crash reports stay on disk in status 0 until the host asks for them.
  if (reportType == kReportTypeCrash && !crashUploadEnable) return -1;

  const size_t answerBytes = cmd == kCmdUserInfo ? kMaxStrategyAnswerBytes : 0;
  const HttpAnswer answer = transport->Post(kUploadPath, headers, body, kBodyContentType, answerBytes);
  if (!answer.arrived) {
    if (records != nullptr) records->UpdateCrashStatus(path, kStatusFailed, RecordWaitMs());
    return -1;
  }
  if (records != nullptr) records->UpdateCrashStatus(path, kStatusSent, RecordWaitMs());
  if (cmd == kCmdUserInfo) Strategy().Update(StrategyFromAnswer(answer.body));
  return answer.status;
}

bool UploadTask::SendRaw(const char* bytes, int32_t length) {
  if (bytes == nullptr || length < 1 || transport == nullptr) return false;
  try {
    const std::string body(bytes, static_cast<size_t>(length));
    return transport->Post(kUploadPath, headers, body, kBodyContentType, 0).arrived;
  } catch (...) {
    return false;
  }
}

int32_t UploadTask::SendAssembled(ReportBuilder& builder) {
  int32_t result = -1;
  try {
    request = builder.BuildEnvelope();
    result = Send();
  } catch (...) {
    result = -1;
  }
  request = nullptr;
  LogAlways("response code is %d \n", result);
  return result;
}

int32_t UploadTask::SendUserInfo() {
  try {
    ReportBuilder builder;
    builder.FillCommon();
    return SendAssembled(builder);
  } catch (...) {
    LogAlways("response code is %d \n", -1);
    return -1;
  }
}

}  // namespace Vextra
