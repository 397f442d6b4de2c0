#pragma once
// File-system facts the workspace setup and the crash data file writer need
// beyond platform/file_system.h.

#include <cstdio>
#include <string>
#include <vector>

namespace Vextra::platform {

// The C runtime's wide stat of path: returns its result (0 found, -1 not) and
// sets *is_directory when the entry exists and is a directory.
int StatDirectory(const std::wstring& path, bool* is_directory);

// The calling thread's last system error code (GetLastError on Windows,
// errno elsewhere). Read it right after the failing call.
int LastSystemError();

// Opens path for binary writing only when nothing exists there yet, so an
// existing file is never truncated. Returns nullptr on failure (leaving no
// file behind) and sets *already_exists when the failure was an existing
// entry. The caller closes the stream.
FILE* CreateNewFile(const std::wstring& path, bool* already_exists);

// Moves the file from over the file to in one step (to is replaced); false,
// with both left as they were, when it could not.
bool MoveFileOver(const std::wstring& from, const std::wstring& to);

// Names of the regular files directly in dir (no directories); empty when
// it cannot be read.
std::vector<std::wstring> FileNamesIn(const std::wstring& dir);

// Deletes the file at path; false when it could not be deleted.
bool RemoveFile(const std::wstring& path);

}  // namespace Vextra::platform
