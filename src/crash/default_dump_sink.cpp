#include "crash/crash_dump_sink.h"

namespace Vextra {

// The dump writer and the dump upload are not part of this build: the send
// step still generates the GUID and calls the crash callback, and writes no dump.
const CrashDumpSink& DefaultCrashDumpSink() {
  static const CrashDumpSink sink{nullptr, nullptr, nullptr, nullptr};
  return sink;
}

}  // namespace Vextra
