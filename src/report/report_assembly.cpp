// The report assemblies of the upload task: the content steps in their order,
// then the send. Defined in the report layer, which owns every source they
// read, so the uploader includes nothing of it.

#include "VextraPkg.pb.h"
#include "core/common_info.h"
#include "log/sdk_log.h"
#include "platform/process_info.h"
#include "report/error_info.h"
#include "report/file_manager.h"
#include "report/report_content.h"
#include "uploader/report_builder.h"
#include "uploader/upload_task.h"

namespace Vextra {
namespace {

// The assemblies' data-file writer: prepares the data directory when it is not
// ready yet, without FileManager::Instance()'s one-time guard, which a thread
// stopped inside the preparation would hold for good (preparing twice is
// harmless). Once the directory is ready it takes no lock.
bool WriteAssembledDataFile(wchar_t* path, const char* bytes, int64_t length, int32_t reportType) {
  if (!CommonInfo::Instance().GetDataDirReady()) FileManager::PrepareWorkspace(platform::LibraryPath());
  return WriteInfoFile(path, bytes, length, reportType);
}

}  // namespace

int32_t UploadTask::SendErrorReport(const ErrorInfo& info) {
  try {
    if (services.writeDataFile == nullptr) services.writeDataFile = &WriteAssembledDataFile;
    ReportBuilder builder(info.name, info.message, expuid);
    builder.FillCommon();
    builder.SetCallStack(info.stack);
    AttachLogs(builder, info.logPath, true);
    AddExtraInfo(builder, info.extraInfo);
    AddExtMsg(builder, info.type);
    return SendAssembled(builder);
  } catch (...) {
    LogAlways("response code is %d \n", -1);
    return -1;
  }
}

int32_t UploadTask::SendCrashReport(int32_t crashKind, const char* dumpBytes, int32_t dumpLength) {
  try {
    if (services.writeDataFile == nullptr) services.writeDataFile = &WriteAssembledDataFile;
    ReportBuilder builder(crashKind, expuid);
    builder.FillCommon();
    builder.AttachMinidump(dumpBytes, dumpLength > 0 ? static_cast<size_t>(dumpLength) : 0);
    builder.SetCallStack(kCrashMessage);
    AttachLogs(builder, std::wstring(), false);
    AddExtMsg(builder, kCrashExtMsgCode);
    return SendAssembled(builder);
  } catch (...) {
    LogAlways("response code is %d \n", -1);
    return -1;
  }
}

}  // namespace Vextra
