#pragma once
// A second, levelled logger used by the error queues. It writes only to an
// output file attached to it; the library attaches none, so in the shipped
// product its lines go nowhere.

#include <cstdint>
#include <cstdio>
#include <memory>

#include "core/base_singleton.h"
#include "log/owner_lock.h"
#include "log/sdk_log.h"

namespace Vextra {

class LuLogger : public BaseSingleton<LuLogger> {
 public:
  LuLogger();
  // Writes "CLOSE LOG!\n" to an attached output and closes it; waits for the
  // lock at most kSdkLogCloseWaitMs and leaves the output alone without it.
  ~LuLogger() override;

  // The process's logger. Never destroyed: the queue threads may still log
  // while the process exits.
  static LuLogger& Instance();

  bool IsEnabled() const;
  // Writes "<time stamp>:<level prefix><message>\n" when an output is attached.
  // Any thread; allocates nothing; waits for the lock at most kSdkLogLineWaitMs.
  void Log(int32_t level, const char* format, ...) VEXTRA_PRINTF(3, 4);
  // Attaches an output file (ownership passes to the logger). Tests only.
  void AttachOutput(FILE* file);

  // "V:", "D:", "I:", "W:", "A:", "E:", "Ex:" for levels 0..6, else "U:".
  static const char* LevelPrefix(int32_t level);

 private:
  FILE* output_ = nullptr;          // guarded by lock_
  std::unique_ptr<char[]> buffer_;  // guarded by lock_
  bool enabled_ = true;             // guarded by lock_
  mutable OwnerLock lock_;
};

}  // namespace Vextra
