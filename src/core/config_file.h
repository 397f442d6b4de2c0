#pragma once
// Configuration files beside the library: "<Tag>value</Tag>" lines, read with
// plain substring searches (not XML), whose values replace the host's settings.

#include <string>

#include "core/common_info.h"

namespace Vextra {

// The two file names, tried in this order; only the first that opens is read.
constexpr const char* kConfigFileNames[] = {"HexaCubConfig64.dat", "VextraConfig64.dat"};

// Only this many "<IgnoreDlls>" lines of one file are taken.
constexpr int kMaxIgnoreDllLines = 32;

// Applies the whole text of one configuration file to settings, line by line.
// "\r\n" ends a line like "\n"; a line is cut at an embedded NUL. A matching
// "<LogOutput>" line switches the process-wide debug mode on. Never throws
// except for allocation failure.
void ApplyConfigText(const std::string& text, CommonInfo& settings);

// Opens directory + separator + each name of kConfigFileNames in turn (shared
// read) and applies the first regular file that opens, holding one line of it
// at a time; false when none did.
bool ReadConfigFilesIn(const std::wstring& directory, CommonInfo& settings);

// ReadConfigFilesIn for the directory of the module holding this library,
// into the process's settings. Called by start-up on the host's thread.
void ReadConfigFiles();

}  // namespace Vextra
