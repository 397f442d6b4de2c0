#pragma once
// Sending minidump files as crash reports: compression with its fallbacks,
// the upload of one file, the scan of a directory for recent dumps with
// record.dat, and the report of one named dump.

#include <cstdint>
#include <string>
#include <vector>

namespace Vextra {

// Compresses source into "%s.gz" beside it. False when the source is 8 MiB or
// more (or cannot be opened: it is created empty when missing), when gzip
// fails, or when the output is larger than 1 MiB; the output stays on disk.
// Each call reads into its own buffer, so compressions may run at once.
// Runs after the dump is written; allocates the source's size.
bool CompressBeside(const wchar_t* source);
// The same, writing the name of source plus ".gz" into the dump directory:
// "dump" inside the data directory with a custom workspace, otherwise the
// default dump directory (its last level created when missing). out receives
// the output path.
bool CompressIntoDumpDir(const wchar_t* source, std::wstring& out);

// Sends the dump at dump_path as a crash report of crash_kind under guid:
// compressed when that succeeds, else raw (a raw file larger than the 5 MiB
// upload buffer sends its first 5 MiB). Returns the response code, -1 when
// the exchange failed, crash uploads are off or memory ran out, -2 when the
// file to send cannot be read (an empty path included). Throws nothing.
// Runs on the faulting thread after its dump is written, and on worker threads.
int32_t uploadCrash(const wchar_t* dump_path, const char* guid, int32_t crash_kind, bool into_dump_dir);

// The newest 5 dumps of directory written in the last 5 days (102 files
// looked at at most).
std::vector<std::string> ScanRecentDumps(const std::string& directory);

// MD5 of the first 5 MiB of the file as 32 lower-case hexadecimal digits;
// false and out empty when the file cannot be opened.
bool FileDigest(const wchar_t* path, char (&out)[33]);

// Uploads each recent dump of directory that record.dat does not know (with
// marker_only, only those carrying the dump marker; the others are recorded as
// not to upload), then rewrites record.dat. Returns 1.
int32_t UploadDumpsInDir(const std::string& directory, bool marker_only);

// Uploads the dump at path under a new GUID; -1 for a null path, otherwise 1.
int32_t ReportDumpFile(const char* path);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: how long UploadDumpsInDir and ReportDumpFile wait for start-up
// (rounds of 200 ms; 50 unless set).
void SetInitWaitRoundsForTesting(int rounds);
}  // namespace Vextra::testing_hooks
