#include "crash/dump/crash_dump_dir.h"

#include "crash/dump/dump_settings.h"
#include "log/sdk_log.h"

namespace Vextra {

bool ChooseCrashDumpDir(wchar_t separator, const CrashDumpDirCalls& calls, wchar_t (&dump_dir)[kDumpPathChars]) {
  if (ReadDumpWorkspace(dump_dir)) {
    LogDebug("Using custom worksapce to generate dump.\n");
    return true;
  }
  LogDebug("Using default worksapce to generate dump.\n");
  wchar_t library_dir[kDumpPathChars];
  wchar_t pxr64_dir[kDumpPathChars];
  if (!calls.library_directory(library_dir) || !FormatCrashDumpDirs(library_dir, separator, pxr64_dir, dump_dir)) {
    LogDebug("dump directory too long, no dump written\n");
    return false;
  }
  calls.create_if_missing(pxr64_dir);
  calls.create_if_missing(dump_dir);
  return true;
}

}  // namespace Vextra
