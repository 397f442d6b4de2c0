#include "uploader/upload_task_factory.h"

#include "core/common_info.h"
#include "uploader/report_builder.h"
#include "uploader/server_address.h"

namespace Vextra {

std::unique_ptr<UploadTask> UploadTaskFactory::CreateCrashTask() {
  return CreateTask(kCmdReport, kReportTypeCrash);
}

std::unique_ptr<UploadTask> UploadTaskFactory::CreateErrorTask() {
  return CreateTask(kCmdReport, kReportTypeError);
}

std::unique_ptr<UploadTask> UploadTaskFactory::CreateUserInfoTask() { return CreateTask(kCmdUserInfo, 0); }

std::unique_ptr<UploadTask> UploadTaskFactory::CreateTask(int32_t cmd, int32_t reportType) {
  // A setting that does not read as an address (only a configuration file
  // can store one) is used verbatim as the host name, and fails to connect.
  const std::string url = CommonInfo::Instance().GetServerUrl();
  ServerAddress address;
  if (!ParseServerAddress(url, &address)) address = ServerAddress{url, kHttpsPort};
  return std::make_unique<UploadTask>(cmd, reportType, MakeTlsTransport(address.host, address.port));
}

}  // namespace Vextra
