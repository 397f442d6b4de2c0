// A host linked against an installed Vextra package: it starts from the public
// header and the imported target only, drives a few exports and checks that the
// library the loader picked is the one the package describes.
// Exit status 0 when every check passed.

#include <cstdio>
#include <string>

#include "library_file.h"
#include "vextra.h"

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++g_failures;
}

}  // namespace

int main() {
  // Calls that need no server: settings, the log ring, a refused value.
  VX_SetAppVersion("1.0.0");
  VX_SetUserValue("level", "forest-3");
  Check(PrintLog(2, "host", "level %d loaded in %.1f s", 3, 1.5), "PrintLog stores a formatted line");
  Check(VX_PrintLogSafe(false, 2, "host", "100% done"), "VX_PrintLogSafe stores a verbatim line");
  Check(VX_SetDumpType(0), "VX_SetDumpType accepts 0");
  Check(!VX_SetDumpType(-1), "VX_SetDumpType refuses -1");

  std::string path = LoadedLibraryPath(reinterpret_cast<const void*>(&PrintLog));
  Check(!path.empty(), "the loaded library is " + path);
  std::string version = LibraryFileVersion(path);
  Check(version == VEXTRA_PACKAGE_VERSION,
        "the library file carries version \"" + version + "\", the package says \"" VEXTRA_PACKAGE_VERSION "\"");
  return g_failures == 0 ? 0 : 1;
}
