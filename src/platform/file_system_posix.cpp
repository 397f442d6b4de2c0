#include "platform/file_system.h"

#include <sys/stat.h>

#include "platform/text_encoding.h"

namespace Vextra::platform {

const wchar_t kPathSeparator = L'/';

bool CreateDirectoryOneLevel(const std::wstring& path) {
  return mkdir(WideToUtf8(path).c_str(), 0755) == 0;
}

FILE* OpenFile(const std::wstring& path, const char* mode) {
  return std::fopen(WideToUtf8(path).c_str(), mode);
}

bool FileExists(const std::wstring& path) {
  struct stat st {};
  return stat(WideToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace Vextra::platform
