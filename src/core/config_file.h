#pragma once
// Configuration files beside the library: "<Tag>value</Tag>" lines, read with
// plain substring searches (not XML), whose values replace the host's settings.

#include <cstddef>
#include <string>

#include "core/common_info.h"

namespace Vextra {

// The two file names, tried in this order; only the first that opens is read.
constexpr const char* kConfigFileNames[] = {"HexaCubConfig64.dat", "VextraConfig64.dat"};

// Only this many "<IgnoreDlls>" lines of one file are taken.
constexpr int kMaxIgnoreDllLines = 32;

// The longest line read whole. Every value a line can set is an id, a host
// name, a module name or a path, and the app id travels in an HTTP header that
// servers refuse beyond 8 KiB; 64 KiB leaves room for any blanks and tags
// around such a value. A longer line is read as its first kMaxConfigLineBytes
// bytes, so a file of any size is read in bounded memory.
constexpr size_t kMaxConfigLineBytes = 64 * 1024;

// Applies the whole text of one configuration file to settings, line by line.
// "\r\n" ends a line like "\n"; a line is cut at an embedded NUL and after
// kMaxConfigLineBytes bytes, though a comment marker anywhere before a NUL
// still skips it. A matching "<LogOutput>" line switches the process-wide
// debug mode on. Never throws except for allocation failure.
void ApplyConfigText(const std::string& text, CommonInfo& settings);

// Opens directory + separator + each name of kConfigFileNames in turn (shared
// read) and applies the first regular file that opens, holding at most
// kMaxConfigLineBytes of it at a time; false when none did.
bool ReadConfigFilesIn(const std::wstring& directory, CommonInfo& settings);

// ReadConfigFilesIn for the directory of the module holding this library,
// into the process's settings. Called by start-up on the host's thread.
void ReadConfigFiles();

}  // namespace Vextra
