#pragma once
// Thin file-system operations on wide paths.

#include <cstdio>
#include <string>

namespace Vextra::platform {

// The separator this platform writes between directory levels.
extern const wchar_t kPathSeparator;

// Creates the last level of the path only; failures (an existing directory
// included) are reported as false and are harmless to callers that ignore them.
bool CreateDirectoryOneLevel(const std::wstring& path);
// C runtime fopen on a wide path; returns nullptr on failure. On Windows the
// file is opened shared for reading and writing by others.
FILE* OpenFile(const std::wstring& path, const char* mode);
bool FileExists(const std::wstring& path);

}  // namespace Vextra::platform
