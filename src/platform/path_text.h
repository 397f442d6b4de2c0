#pragma once
// Splitting paths as text: the directory part and the file-name part.

#include <string>

#include "platform/file_system.h"

namespace Vextra::platform {

// Everything before the last '/' or separator; empty when there is none.
std::wstring DirectoryOf(const std::wstring& path, wchar_t separator = kPathSeparator);
// The text after the last "/" or "\\" of a path (all of it when there is none).
std::string FileNamePart(const std::string& path);

}  // namespace Vextra::platform
