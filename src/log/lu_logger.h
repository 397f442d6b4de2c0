#pragma once
// A second, levelled logger used by the error queues. It writes only to an
// output file attached to it; the library attaches none, so in the shipped
// product its lines go nowhere.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "core/base_singleton.h"
#include "log/sdk_log.h"

namespace Vextra {

class LuLogger : public BaseSingleton<LuLogger> {
 public:
  LuLogger();
  ~LuLogger() override;

  bool IsEnabled() const;
  // Writes "<time stamp>:<level prefix><message>\n" when an output is attached.
  void Log(int32_t level, const char* format, ...) VEXTRA_PRINTF(3, 4);
  // Attaches an output file (ownership passes to the logger). Tests only.
  void AttachOutput(FILE* file);

  // "V:", "D:", "I:", "W:", "A:", "E:", "Ex:" for levels 0..6, else "U:".
  static const char* LevelPrefix(int32_t level);

 private:
  FILE* output_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  bool enabled_ = true;
  mutable std::mutex mutex_;
};

}  // namespace Vextra
