#pragma once
// The workspace and data directory of the library, and the crash data files
// that keep a copy of every report body posted to the server.

#include <cstdint>
#include <string>

#include "core/base_singleton.h"

namespace Vextra {

// Second numbers of crash data file names run from 0 to kDataFileNumbers - 1.
constexpr int32_t kDataFileNumbers = 8192;

class FileManager : public BaseSingleton<FileManager> {
 public:
  // Runs PrepareWorkspace once with the path of the module that holds the
  // library. Reached through Instance(): by the agent start-up, or by the
  // exchange before it writes a crash data file.
  FileManager();
  ~FileManager() override;

  // Creates the workspace root (the custom workspace of the settings, else
  // "<module directory>/lumaro") and "vextra_data" inside it, one level each,
  // then stores the data directory in dataDir and sets dataDirReady. Failures
  // print their message to standard output and leave both unchanged; a module
  // path without a directory, or one the workspace cannot hold, stops silently.
  // A path too long for a 260-character buffer is refused, never cut.
  // Returns true when the data directory is ready.
  static bool PrepareWorkspace(const std::wstring& module_path);
};

// "%s/crash_data.info_%d_%d" for report type 101, "%s/error_data.info_%d_%d"
// for 107, "%s/unkown_data.info_%d_%d" for any other type.
std::wstring DataFileName(const std::wstring& data_dir, int32_t report_type, int32_t seconds,
                          int32_t number);

// The name of a data file directly in data_dir ("crash_data.info_",
// "error_data.info_" or "unkown_data.info_" and the rest of its name) when
// path is one, else empty. Only such files are ever removed with their record.
std::wstring DataFileNameIn(const std::wstring& path, const std::wstring& data_dir);

// The writing second of a data file name ("<stem><seconds>_<number>"), or
// false when the name does not have that form.
bool DataFileSeconds(const std::wstring& name, int64_t* seconds);

// The second number first tried for a file written in the given second
// (0 to 8191); the same second always gives the same number.
int32_t FirstDataFileNumber(int32_t seconds);

// Writes bytes to a new crash data file in dataDir, named after the report
// type and the current second, and copies its path (at most 259 characters and
// a terminator) into path, which has room for kWidePathChars characters.
// Never replaces an existing file: a name already taken moves on to the next
// second number. False, with path untouched, for null arguments, a length not
// above 0, a data directory that is not ready, or a failed create or write; a
// file whose write failed is removed again.
// Any thread; takes no lock. FileManager::Instance() must exist first.
bool WriteInfoFile(wchar_t* path, const char* bytes, int64_t length, int32_t report_type);

// WriteInfoFile after preparing the data directory on first use (through
// FileManager::Instance()): the data-file writer the report assemblies hand
// to their upload task. Any thread.
bool WriteReportDataFile(wchar_t* path, const char* bytes, int64_t length, int32_t report_type);

// WriteInfoFile for a given second (seconds since the epoch).
bool WriteInfoFileAt(wchar_t* path, const char* bytes, int64_t length, int32_t report_type,
                     int32_t seconds);

}  // namespace Vextra
