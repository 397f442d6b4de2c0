#include "uploader/upload_task_factory.h"

#include "core/common_info.h"
#include "uploader/report_builder.h"

namespace Vextra {

std::unique_ptr<UploadTask> UploadTaskFactory::CreateCrashTask() {
  return CreateTask(kCmdReport, kReportTypeCrash);
}

std::unique_ptr<UploadTask> UploadTaskFactory::CreateErrorTask() {
  return CreateTask(kCmdReport, kReportTypeError);
}

std::unique_ptr<UploadTask> UploadTaskFactory::CreateUserInfoTask() { return CreateTask(kCmdUserInfo, 0); }

std::unique_ptr<UploadTask> UploadTaskFactory::CreateTask(int32_t cmd, int32_t reportType) {
  return std::make_unique<UploadTask>(cmd, reportType, MakeTlsTransport(CommonInfo::Instance().GetServerUrl()));
}

}  // namespace Vextra
