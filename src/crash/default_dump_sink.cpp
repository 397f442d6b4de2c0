#include "crash/crash_dump_sink.h"

#include "crash/dump/dump_upload.h"
#include "crash/dump/minidump_writer.h"

namespace Vextra {

static_assert(kDumpPathChars == 260, "the sink's path buffers hold 260 characters");

// The dump writer and the dump upload of this library.
const CrashDumpSink& DefaultCrashDumpSink() {
  static const CrashDumpSink sink{&GetDefaultDumpDir, &WriteCrashDump, &uploadCrash, &WriteCrashDumpForThread};
  return sink;
}

}  // namespace Vextra
