#include "platform/file_system.h"

#include <share.h>
#include <windows.h>

#include <string>

namespace Vextra::platform {

const wchar_t kPathSeparator = L'\\';

bool CreateDirectoryOneLevel(const std::wstring& path) {
  return CreateDirectoryW(path.c_str(), nullptr) != 0;
}

FILE* OpenFile(const std::wstring& path, const char* mode) {
  std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfsopen(path.c_str(), wide_mode.c_str(), _SH_DENYNO);
}

bool FileExists(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace Vextra::platform
