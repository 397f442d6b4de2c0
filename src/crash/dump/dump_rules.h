#pragma once
// The plain rules of dump writing and dump upload: path and file names in
// fixed buffers, the small-dump threshold, record.dat lines, the choice of
// recent dumps in a directory, the dump marker and the compression limits.
// Nothing here touches a file.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Vextra {

// Wide characters of every dump path buffer, the terminator included.
constexpr size_t kDumpPathChars = 260;
// A full dump larger than this gets a small companion, which is what is uploaded.
constexpr uint64_t kSmallDumpThreshold = 0x300000;
// Compression takes sources below this size only.
constexpr int64_t kCompressSourceLimit = 0x800000;
// A gzip output larger than this counts as a failed compression.
constexpr int64_t kCompressedSizeLimit = 0x100000;
// The buffer a dump is read into for sending.
constexpr size_t kUploadBufferBytes = 0x500000;
// Bytes read for a digest or a marker search.
constexpr size_t kDumpHeadBytes = 0x500000;
// A listed dump is taken when written less than this many seconds ago.
constexpr int64_t kRecentDumpSeconds = 432000;
// The countdown of files examined per scan: 102 are looked at in all.
constexpr int32_t kScanCountdown = 100;
constexpr size_t kDumpsPerScan = 5;
// record.dat keeps a record while it is younger than this.
constexpr int64_t kRecordKeepSeconds = 864000;
// The longest record.dat line that can be read; a longer one ends the reading.
constexpr size_t kRecordLineChars = 1022;
// Waiting for the library's start-up before uploading: 50 times 200 ms.
constexpr int kInitWaitRounds = 50;
constexpr int kInitWaitMs = 200;

// Stored instead of a GUID for a dump the scan chose not to send.
extern const char kNotUploadText[];
// The 16 bytes that mark a dump as one to send in a marker-only scan.
constexpr size_t kDumpMarkerBytes = 16;
extern const unsigned char kDumpMarker[kDumpMarkerBytes];

// Appends pieces to a wide path buffer of 260 characters. A piece that would
// not fit leaves the buffer empty and Ok() false: a cut path would name a
// different file. Allocates nothing.
// crash path: allocates nothing, takes no lock.
class WidePathBuilder {
 public:
  explicit WidePathBuilder(wchar_t (&buffer)[kDumpPathChars]) : buffer_(buffer) { buffer_[0] = L'\0'; }
  WidePathBuilder& Text(const wchar_t* text);
  WidePathBuilder& Text(const char* ascii);
  WidePathBuilder& Decimal(int32_t value);
  bool Ok() const { return ok_; }
  size_t Length() const { return length_; }

 private:
  void Fail();
  wchar_t (&buffer_)[kDumpPathChars];
  size_t length_ = 0;
  bool ok_ = true;
};

// The default dump directory: "%s\\%s\\dump" with the library directory and
// "\\pxr64\\" (sep stands for the backslash; the doubled separators are kept).
// False and an empty buffer when it would not fit.
// crash path: allocates nothing, takes no lock.
bool FormatDefaultDumpDir(const wchar_t* library_dir, wchar_t sep, wchar_t (&out)[kDumpPathChars]);
// The two directory levels a crash dump is written into by default: the
// library directory + "\\pxr64\\", then that + "\\dump\\" (sep for the
// backslash). Both at most 259 characters, else false.
// crash path: allocates nothing, takes no lock.
bool FormatCrashDumpDirs(const wchar_t* library_dir, wchar_t sep, wchar_t (&pxr64_dir)[kDumpPathChars],
                         wchar_t (&dump_dir)[kDumpPathChars]);
// "%s\\HcDump.HcS.%d.dmp" or, small, "%s\\HcDump.HcS.%d-small.dmp"; false and
// an empty buffer when the result would not fit.
// crash path: allocates nothing, takes no lock.
bool FormatDumpFilePath(const wchar_t* dump_dir, wchar_t sep, int32_t seconds, bool small,
                        wchar_t (&out)[kDumpPathChars]);
// Whether a full dump of this many bytes gets a small companion.
inline bool NeedsSmallDump(uint64_t full_dump_bytes) { return full_dump_bytes > kSmallDumpThreshold; }
// A dump file's 64-bit size as the 32-bit size the dump writer answers:
// 4 GiB and more reads as 0xFFFFFFFF, so a huge dump still counts as large.
inline uint32_t SaturatedDumpSize(uint64_t bytes) {
  return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
}

// What writing a crash dump needs from the platform.
struct DumpFileWriter {
  // Writes one dump of dump_type at path; the file's size in bytes, read in
  // 64 bits, or 0 when writing failed.
  uint64_t (*write)(const wchar_t* path, int32_t dump_type, void* context);
  // The time a dump name carries, read again for each name.
  int32_t (*name_seconds)();
  void* context;
};

// Writes the full dump "HcDump.HcS.<seconds>.dmp" in dump_dir with dump_type
// and, when it is larger than 3 MiB, its small companion
// "HcDump.HcS.<seconds>-small.dmp" with type 0; dump_path is left naming the
// one to upload. False, with dump_path empty, when the full dump's name does
// not fit (nothing written); a companion name that does not fit leaves
// dump_path empty.
// crash path: allocates nothing, takes no lock of its own.
bool WriteDumpWithCompanion(const wchar_t* dump_dir, wchar_t sep, int32_t dump_type, const DumpFileWriter& writer,
                            wchar_t (&dump_path)[kDumpPathChars]);
// The low 32 bits of a time in seconds as the signed number dump names carry.
inline int32_t DumpNameSeconds(int64_t seconds) { return static_cast<int32_t>(static_cast<uint32_t>(seconds)); }
// The directory part of a module path: everything before its last backslash
// (or sep). False when there is none or it does not fit.
// crash path: allocates nothing, takes no lock.
bool DirectoryPart(const wchar_t* path, wchar_t sep, wchar_t (&out)[kDumpPathChars]);

// One line of record.dat: when it was made and the GUID the dump was sent
// under (or kNotUploadText), keyed by the dump's digest.
struct DumpRecord {
  int32_t time = 0;
  std::string guid;
};
using DumpRecordMap = std::map<std::string, DumpRecord>;

// A line split at each tab: an empty text between two tabs is a field, an
// empty text after a final tab is not.
std::vector<std::string> SplitRecordFields(const std::string& line);
// Reads record.dat text into records: CR LF or LF line ends; a line of more
// than 1022 characters ends the reading; a line of exactly three fields is a
// record (the first of a digest wins), any other line is skipped and counted
// in *skipped.
void ParseRecordText(const std::string& text, DumpRecordMap& records, int* skipped);
// The text record.dat is rewritten with: every record younger than 10 days at
// now, in ascending digest order, as "digest\ttime\tguid\r\n".
std::string FormatRecordText(const DumpRecordMap& records, int64_t now);

// One entry of a directory listing of "*.dmp".
struct DumpListingEntry {
  std::string name;
  bool isDirectory = false;
  int64_t writeTime = 0;  // seconds since the epoch
};

// The choice of dumps a directory scan uploads, fed the listing one entry at
// a time: a file written less than 5 days ago is taken, at most 102 files are
// looked at, and the newest 5 are the result.
class RecentDumpSelector {
 public:
  RecentDumpSelector(std::string directory, char sep, int64_t now);
  // False once the scan must stop; the entry was still considered.
  bool Offer(const DumpListingEntry& entry);
  // Paths of the taken files, newest first, at most 5.
  std::vector<std::string> Result() const;

 private:
  std::string directory_;
  char sep_;
  int64_t now_;
  int32_t countdown_ = kScanCountdown;
  std::vector<std::pair<int64_t, std::string>> taken_;
};

// Whether the dump marker starts at any offset of the bytes.
bool ContainsDumpMarker(const char* bytes, size_t length);

// Whether a source of this size (-1: it could not be opened) is compressed.
inline bool CompressesSource(int64_t source_size) {
  return source_size >= 0 && source_size < kCompressSourceLimit;
}
// Whether a gzip output of this size is sent instead of the raw file.
inline bool AcceptsCompressedSize(int64_t output_size) { return output_size <= kCompressedSizeLimit; }
// How many bytes of a file of this size are read for sending: all of it, or
// the first 5 MiB of a larger one, so the upload buffer is never overrun.
inline size_t UploadBytesOf(int64_t file_size) {
  if (file_size <= 0) return 0;
  return file_size > static_cast<int64_t>(kUploadBufferBytes) ? kUploadBufferBytes : static_cast<size_t>(file_size);
}

// 16 digest bytes as 32 lower-case hexadecimal digits and a terminator.
void FormatDigestHex(const unsigned char (&digest)[16], char (&out)[33]);

}  // namespace Vextra
