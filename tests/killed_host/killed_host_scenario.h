#pragma once
// The killed-host scenario shared by the native and the Windows test: what a
// reporting host does until it is killed, and the check after the next start
// of the library over the workspace the killed hosts left behind.

#include <filesystem>
#include <string>

#include "uploader/collector_process.h"

namespace vextra_test {

constexpr int kKilledHostRuns = 20;
constexpr char kKilledHostAppId[] = "app-killed";

// Starts the library on workspace and reports asynchronously without end,
// writing how many reports it has made into counter after each one. Returns
// never: the host ends only by being killed.
[[noreturn]] void RunReportingHost(const std::filesystem::path& workspace, const std::string& address,
                                   const std::filesystem::path& counter, int run);

// How many reports a killed host wrote into its counter (0 when none).
int ReportsMadeBy(const std::filesystem::path& counter);

// Starts the library in this process on workspace (the next start, which
// sends what the killed runs left), then stops the collector. Call with
// ASSERT_NO_FATAL_FAILURE; data_dir receives the library's data directory.
void StartNextAndStopCollector(const std::filesystem::path& workspace, const std::string& address,
                               CollectorProcess& collector, std::filesystem::path* data_dir);

// Compares the data files in data_dir with the reports in the collector's
// database: fails for every data file whose report never arrived or that
// holds no whole report, and prints the tally (reports lost in memory apart).
void CheckEveryDataFileArrived(const std::filesystem::path& collector_db, const std::filesystem::path& data_dir,
                               int made, int before_start);

}  // namespace vextra_test
