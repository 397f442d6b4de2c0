#pragma once
// The SDK log's file. Each line goes out in one appending system write, so
// lines stay whole even when a writer cannot take the log's lock, and no C
// runtime stream (whose own lock a dead thread may hold) is involved.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vextra {

using LogFileHandle = intptr_t;
constexpr LogFileHandle kNoLogFile = -1;

// Creates the file, or truncates an existing one, for writing; others may read
// and write it meanwhile. kNoLogFile on failure.
LogFileHandle OpenLogFile(const std::wstring& path);
// Appends the bytes at the end of the file in one write (Windows writes each
// "\n" as "\r\n", as a text-mode stream did). Errors are ignored.
// crash path: takes no lock, allocates nothing.
void AppendToLogFile(LogFileHandle file, const char* bytes, size_t length);
void CloseLogFile(LogFileHandle file);

}  // namespace Vextra
