#pragma once
// Where a crash dump goes, the same on every platform: the custom workspace
// as the settings published it, or the default dump directory ("pxr64", then
// "dump", beside the library), each level created when missing.

#include "crash/dump/dump_rules.h"

namespace Vextra {

// The platform's part of the choice.
struct CrashDumpDirCalls {
  // The library directory as the installation published it; false when none.
  bool (*library_directory)(wchar_t (&out)[kDumpPathChars]);
  // Creates the directory when it is not one yet; failures are not reported.
  void (*create_if_missing)(const wchar_t* directory);
};

// Fills dump_dir and returns true, or logs why no dump can be written and
// returns false (no library directory, or a path that would not fit).
// crash path: copies published texts and calls the platform's two functions,
// which allocate nothing; takes no lock another thread may hold.
bool ChooseCrashDumpDir(wchar_t separator, const CrashDumpDirCalls& calls, wchar_t (&dump_dir)[kDumpPathChars]);

}  // namespace Vextra
