// Exports: uploads of dump files from disk.

#include <string>
#include <thread>

#include "api/export_guard.h"
#include "crash/library_threads.h"
#include "crash/dump/dump_upload.h"
#include "log/sdk_log.h"
#include "vextra.h"

using namespace Vextra;

extern "C" {

int32_t UploadGivenPathDump(const char* directory, bool flag) {
  const bool marker_only = HostBool(flag);
  Guarded([&] {
    LogDebug("UploadSysDumpAsync. \n");
    // No directory: nothing to scan (an empty one would list the drive's root).
    if (directory == nullptr || *directory == '\0') return;
    // The thread works on its own copy: the host may free its text at once.
    std::string copy = directory;
    std::thread([copy = std::move(copy), marker_only] {
      PrepareLibraryThreadForCrashes();
      Guarded([&] { UploadDumpsInDir(copy, marker_only); });
    }).detach();
  });
  return 0;
}

int32_t VX_UploadGivenPathDump(const char* directory, bool flag) { return UploadGivenPathDump(directory, flag); }

int32_t VX_ReportDump(const char* dump_path, bool asynchronous) {
  Guarded([&] { LogDebug("ReportDump\n"); });
  if (!HostBool(asynchronous)) return Guarded(-1, [&] { return ReportDumpFile(dump_path); });
  Guarded([&] {
    if (dump_path == nullptr) {
      std::thread([] {
        PrepareLibraryThreadForCrashes();
        Guarded([] { ReportDumpFile(nullptr); });
      }).detach();
      return;
    }
    std::string copy = dump_path;
    std::thread([copy = std::move(copy)] {
      PrepareLibraryThreadForCrashes();
      Guarded([&] { ReportDumpFile(copy.c_str()); });
    }).detach();
  });
  return 0;
}

}  // extern "C"
