#pragma once
// The file operations dump upload needs, supplied by the platform: open for
// reading in the two ways the upload uses, size, read, close, directory
// checks, gzip output and the listing of "*.dmp" in a directory.

#include <cstdint>
#include <functional>
#include <string>

#include "crash/dump/dump_rules.h"

namespace Vextra::dumpfs {

// The separator of this platform's paths.
extern const wchar_t kSep;
extern const char kNarrowSep;

using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

// Read access, no sharing, created empty when missing (the compression source
// and output are opened this way).
FileHandle OpenReadCreate(const wchar_t* path);
// Read access, shared for reading; the file must exist.
FileHandle OpenReadShared(const wchar_t* path);
// Size in bytes, -1 when unknown.
int64_t Size(FileHandle file);
// Reads up to length bytes from the current position into buffer; the count
// read, -1 on an error.
int64_t Read(FileHandle file, char* buffer, size_t length);
void Close(FileHandle file);

bool IsDirectory(const wchar_t* path);
// Creates the last level of the path; failures are not reported.
void CreateOneLevel(const wchar_t* path);

// Writes bytes as a gzip file at path (default level, mode "w"); false when
// the file could not be opened or the write failed.
bool WriteGzip(const wchar_t* path, const char* bytes, size_t length);

// Lists directory + separator + "*.dmp" and offers each entry in the order
// the system gives until offer returns false; false when the directory
// cannot be listed.
bool ListDumpFiles(const std::string& directory, const std::function<bool(const DumpListingEntry&)>& offer);

// Seconds since the epoch.
int64_t Now();
// Sleeps this many milliseconds.
void SleepMs(int milliseconds);

}  // namespace Vextra::dumpfs
