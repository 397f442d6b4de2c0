#include <memory>

#include "intake/error_intake.h"
#include "uploader/upload_task_factory.h"

namespace Vextra {

int32_t SendErrorRecord(const ErrorInfo& info) {
  std::unique_ptr<UploadTask> task = UploadTaskFactory::Instance().CreateErrorTask();
  return task->SendErrorReport(info);
}

}  // namespace Vextra
