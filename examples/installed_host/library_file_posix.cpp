#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "library_file.h"

std::string LoadedLibraryPath(const void* exported_function) {
  Dl_info info{};
  if (dladdr(exported_function, &info) == 0 || info.dli_fname == nullptr) return {};
  char real[PATH_MAX];
  if (realpath(info.dli_fname, real) == nullptr) return {};
  return real;
}

std::string LibraryFileVersion(const std::string& path) {
  const std::string stem = "/libVextra64.so.";
  size_t at = path.rfind(stem);
  if (at == std::string::npos) return {};
  return path.substr(at + stem.size());
}
