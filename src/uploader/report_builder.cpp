#include "uploader/report_builder.h"

#include <utility>

#include "core/common_info.h"
#include "log/sdk_log.h"
#include "platform/guid.h"
#include "uploader/protocol_text.h"

namespace Vextra {
namespace {

constexpr char kBundleId[] = "bundleId";
constexpr char kGatewayUnknown[] = "unknown";
constexpr char kCrashName[] = "crash";

}  // namespace

ReportBuilder::ReportBuilder(int32_t command, int32_t type, std::string id)
    : request(std::make_unique<VextraPkg::RequestPkg>()),
      cmd(command),
      reportType(type),
      expuid(std::move(id)) {
  request->set_cmd(cmd);
}

ReportBuilder::ReportBuilder() : ReportBuilder(kCmdUserInfo, kReportTypeCrash, platform::NewGuidText()) {}

ReportBuilder::ReportBuilder(int32_t crash_kind, const std::string& expuid)
    : ReportBuilder(kCmdReport, kReportTypeCrash, expuid) {
  upload.set_expmessage(kCrashMessage);
  upload.set_expname(kCrashName);
  upload.set_ehtype(crash_kind);
}

ReportBuilder::ReportBuilder(const std::string& name, const std::string& message, const std::string& expuid)
    : ReportBuilder(kCmdReport, kReportTypeError, expuid) {
  upload.set_expmessage(message);
  upload.set_expname(name);
}

ReportBuilder::~ReportBuilder() = default;

void ReportBuilder::FillCommon() { FillCommon(ReadEnvelopeFacts()); }

void ReportBuilder::FillCommon(const EnvelopeFacts& facts) {
  const std::string resolution = FormatResolution(facts.screenWidth, facts.screenHeight);
  LogDebug("resolution:%s\n", resolution.c_str());

  // One copy of the settings for the whole request: a setter running meanwhile
  // never splits it into values from before and after.
  const ReportSettings settings = CommonInfo::Instance().GetReportSettings();
  const std::string& cpu = settings.cpu;
  const std::string& gpu = settings.gpu;
  const std::string& processName = settings.processName;
  const std::string& userId = settings.userId;
  const std::string& sessionId = settings.sessionId;
  const int64_t bootTime = settings.bootTime;
  const uint32_t displayMem = settings.displayMem;

  VextraPkg::RequestPkg& envelope = *request;
  envelope.set_platformid(kPlatformId);
  envelope.set_prodid(settings.appId);
  envelope.set_bundleid(kBundleId);
  envelope.set_version(settings.appVersion);
  envelope.set_sdkver(kSdkVersion);
  envelope.set_cmd(cmd);
  envelope.set_osver(settings.osVer);
  envelope.set_sessionid(sessionId);
  envelope.set_deviceid(settings.deviceId);
  envelope.set_uploadtime(facts.uploadTime);
  envelope.set_mac(settings.mac);
  envelope.set_phymemall(facts.phyMemAll);
  envelope.set_phymemused(facts.phyMemUsed);
  envelope.set_usedprocmem(facts.usedProcMem);
  envelope.set_displaymem(std::to_string(displayMem == 0 ? 1 : displayMem));
  envelope.set_displaycard(gpu);
  envelope.set_resolution(resolution);
  envelope.set_displayversion(settings.displayVersion);
  envelope.set_gpu(gpu);
  envelope.set_osbit(kOsBit);
  envelope.set_cpu(cpu);
  envelope.set_serverenv(settings.serverEnv);

  // The same five machine keys travel with the user information and with
  // every report.
  const std::pair<const char*, std::string> machineKeys[] = {
      {"A1", std::to_string(facts.phyMemAll)},
      {"A9", std::to_string(facts.phyMemUsed)},
      {"A6", cpu},
      {"A34", processName},
      {"A18", std::to_string(bootTime)},
  };
  userInfo.set_procename(processName);
  userInfo.set_userid(userId);
  userInfo.set_deviceboottime(bootTime);
  auto& userValues = *userInfo.mutable_valuemap();
  for (const auto& [key, value] : machineKeys) userValues[key] = value;

  upload.set_type(std::to_string(reportType));
  upload.set_userid(userId);
  upload.set_pidname(processName);
  upload.set_deviceboottime(bootTime);
  upload.set_expuid(expuid);
  auto& reportValues = *upload.mutable_valuemap();
  for (const auto& [key, value] : machineKeys) reportValues[key] = value;
  reportValues["G05"] = settings.strategyJson;

  LogAlways("expuid is %s\n", expuid.c_str());

  const int32_t zoneSeconds = TimeZoneSeconds(facts.timeZoneBiasMinutes);
  envelope.set_timezoneabbreviation(TimeZoneAbbreviation(zoneSeconds));
  envelope.set_timezonename(facts.timeZoneName);
  envelope.set_timezoneseconds(zoneSeconds);

  if (cmd == kCmdUserInfo) {
    // Exactly one launch summary, however often the envelope is filled.
    userInfo.clear_list();
    VextraPkg::SummaryInfo* summary = userInfo.add_list();
    summary->set_starttime(bootTime);
    summary->set_starttype(1);
    summary->set_userid(userId);
    summary->set_procename(processName);
    summary->set_sessionid(sessionId);
    summary->set_gatewayip(kGatewayUnknown);
    summary->set_coldstart(true);
  }
}

void ReportBuilder::SetCallStack(const std::string& stack) { upload.set_callstack(stack); }

void ReportBuilder::AddAttachment(const char* file_name, std::string data) {
  VextraPkg::Attachment* attachment = upload.add_attaches();
  attachment->set_type(kAttachmentType);
  attachment->set_filename(file_name);
  attachment->set_data(std::move(data));
}

void ReportBuilder::AttachMinidump(const char* bytes, size_t length) {
  AddAttachment(kMinidumpName, bytes != nullptr ? std::string(bytes, length) : std::string());
}

bool ReportBuilder::AddUserValue(const std::string& key, const std::string& value) {
  return upload.mutable_usermap()->insert({key, value}).second;
}

VextraPkg::RequestPkg* ReportBuilder::BuildEnvelope() {
  std::string inner;
  if (cmd == kCmdUserInfo) {
    MakeTextFieldsUtf8(&userInfo);
    userInfo.SerializeToString(&inner);
  } else {
    MakeTextFieldsUtf8(&upload);
    // The report is lent to the package for serializing (it may hold a
    // dump of megabytes) and taken back afterwards.
    VextraPkg::ExceptionUploadPackage package;
    package.add_list()->Swap(&upload);
    package.SerializeToString(&inner);
    package.mutable_list(0)->Swap(&upload);
  }
  request->set_sbuffer(std::move(inner));
  MakeTextFieldsUtf8(request.get());
  return request.get();
}

}  // namespace Vextra
