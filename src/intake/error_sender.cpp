#include <memory>

#include "VextraPkg.pb.h"
#include "intake/error_intake.h"
#include "uploader/report_builder.h"
#include "uploader/upload_task_factory.h"

namespace Vextra {

// Interim until the full error report assembly lands: name, message and
// stack over the common envelope.
int32_t SendErrorRecord(const ErrorInfo& info) {
  std::unique_ptr<UploadTask> task = UploadTaskFactory::Instance().CreateErrorTask();
  ReportBuilder builder(info.name, info.message, task->GetExpUid());
  builder.FillCommon();
  builder.MutableUpload()->set_callstack(info.stack);
  return task->SendAssembled(builder);
}

}  // namespace Vextra
