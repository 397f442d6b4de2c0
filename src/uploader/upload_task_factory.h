#pragma once
// Makes the upload tasks of each kind, bound to the configured server.

#include <cstdint>
#include <memory>

#include "core/base_singleton.h"
#include "uploader/upload_task.h"

namespace Vextra {

class UploadTaskFactory : public BaseSingleton<UploadTaskFactory> {
 public:
  UploadTaskFactory() = default;
  ~UploadTaskFactory() override = default;

  // Each returns a new task that the caller owns and destroys after its one
  // exchange, talking TLS to the settings' serverUrl as it is now. Any thread;
  // throws only when memory runs out.
  std::unique_ptr<UploadTask> CreateCrashTask();     // 830, report type 101
  std::unique_ptr<UploadTask> CreateErrorTask();     // 830, report type 107
  std::unique_ptr<UploadTask> CreateUserInfoTask();  // 840, report type 0
  std::unique_ptr<UploadTask> CreateTask(int32_t cmd, int32_t reportType);
};

}  // namespace Vextra
