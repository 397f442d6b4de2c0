#include "platform/path_text.h"

namespace Vextra::platform {

std::wstring DirectoryOf(const std::wstring& path, wchar_t separator) {
  size_t cut = path.find_last_of(std::wstring{L'/', separator});
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::string FileNamePart(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace Vextra::platform
