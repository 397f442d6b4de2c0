#include <ctime>

#include "crash/dump/dump_files.h"
#include "crash/dump/minidump_writer.h"
#include "log/sdk_log.h"
#include "platform/process_info.h"
#include "crash/dump/dump_settings.h"

namespace Vextra {

bool GetDefaultDumpDir(wchar_t (&out)[kDumpPathChars]) {
  wchar_t library_dir[kDumpPathChars];
  bool known = ReadLibraryDirectory(library_dir) && library_dir[0] != L'\0';
  if (!known) {
    // Not on a crash path here: nothing captures crashes natively on this platform.
    known = DirectoryPart(platform::LibraryPath().c_str(), dumpfs::kSep, library_dir);
  }
  if (!known || !FormatDefaultDumpDir(library_dir, dumpfs::kSep, out)) {
    out[0] = L'\0';
    return true;
  }
  if (!dumpfs::IsDirectory(out)) dumpfs::CreateOneLevel(out);
  return true;
}

uint32_t _HcSpyCreateDumpFile(const wchar_t*, _EXCEPTION_POINTERS*, int32_t, uint32_t) {
  LogDebug("enter _HcSpyCreateDumpFile\n");
  LogDebug("minidump writing is not available on this platform\n");
  return 0;
}

void WriteCrashDumpForThread(_EXCEPTION_POINTERS*, uint32_t, wchar_t (&dump_path)[kDumpPathChars]) {
  dump_path[0] = L'\0';
  LogDebug("minidump writing is not available on this platform\n");
}

void WriteCrashDump(_EXCEPTION_POINTERS* pointers, wchar_t (&dump_path)[kDumpPathChars]) {
  WriteCrashDumpForThread(pointers, platform::ThreadId(), dump_path);
}

long WriteTestDump(uint32_t, _EXCEPTION_POINTERS*) {
  LogDebug("minidump writing is not available on this platform\n");
  return 1;
}

}  // namespace Vextra
