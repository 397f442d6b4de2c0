#include "crash/dump/dump_upload.h"

#include <openssl/evp.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/dump/dump_files.h"
#include "crash/dump/dump_rules.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/minidump_writer.h"
#include "log/native_log_ring.h"
#include "log/sdk_log.h"
#include "platform/file_system.h"
#include "platform/guid.h"
#include "platform/text_encoding.h"
#include "uploader/upload_task_factory.h"

namespace Vextra {
namespace {

std::atomic<int> g_init_wait_rounds{kInitWaitRounds};

int32_t UploadCrashUnguarded(const wchar_t* dump_path, const char* guid, int32_t crash_kind, bool into_dump_dir);

std::string Narrow(const wchar_t* path) { return platform::WideToAnsi(path != nullptr ? path : L""); }

// An open file closed when the holder goes.
class OpenFile {
 public:
  explicit OpenFile(dumpfs::FileHandle file) : file_(file) {}
  ~OpenFile() { dumpfs::Close(file_); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  bool Ok() const { return file_ != dumpfs::kNoFile; }
  dumpfs::FileHandle Get() const { return file_; }

 private:
  dumpfs::FileHandle file_;
};

// Reads up to limit bytes from the start of an open file into a new buffer.
std::unique_ptr<char[]> ReadHead(dumpfs::FileHandle file, size_t limit, size_t* length) {
  *length = 0;
  const int64_t size = dumpfs::Size(file);
  if (size < 0) return nullptr;
  const size_t want = static_cast<uint64_t>(size) < limit ? static_cast<size_t>(size) : limit;
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[want > 0 ? want : 1]);
  if (!bytes) return nullptr;
  const int64_t got = dumpfs::Read(file, bytes.get(), want);
  if (got < 0) return nullptr;
  *length = static_cast<size_t>(got);
  return bytes;
}

// The procedure both compressions share, given the output path.
bool CompressTo(const wchar_t* source, const std::wstring& output) {
  OpenFile in(dumpfs::OpenReadCreate(source));
  const int64_t size = in.Ok() ? dumpfs::Size(in.Get()) : -1;
  if (!CompressesSource(size)) {
    LogDebug("file too big %s\n", Narrow(source).c_str());
    return false;
  }
  // This compression's own staging area, sized to the source (below 8 MiB).
  size_t length = 0;
  std::unique_ptr<char[]> staging = ReadHead(in.Get(), static_cast<size_t>(size), &length);
  if (!staging || !dumpfs::WriteGzip(output.c_str(), staging.get(), length)) return false;
  OpenFile out(dumpfs::OpenReadCreate(output.c_str()));
  const int64_t compressed = out.Ok() ? dumpfs::Size(out.Get()) : -1;
  if (compressed < 0) return false;
  if (!AcceptsCompressedSize(compressed)) {
    LogDebug("Compress file too big: %d %s\n", static_cast<int>(compressed), Narrow(source).c_str());
    return false;
  }
  return true;
}

// The text after the last separator of a path.
std::wstring NameOf(const wchar_t* path) {
  const std::wstring text = path != nullptr ? path : L"";
  const size_t cut = text.find_last_of(L"\\/");
  return cut == std::wstring::npos ? text : text.substr(cut + 1);
}

void WaitForInitialisation() {
  for (int round = 0; round < g_init_wait_rounds.load() && !IsInitialized(); ++round) {
    dumpfs::SleepMs(kInitWaitMs);
  }
}

// Makes a GUID for one dump upload, logs it and notes it in the native log.
std::string AnnounceUpload(const char* ring_text) {
  const std::string guid = platform::NewGuidText();
  LogDebug("Generated guid is %s\n", guid.c_str());
  AppendNativeLog("V", "Vextra", ring_text);
  AppendNativeLog("V", "Vextra", guid.c_str());
  return guid;
}

std::wstring RecordFilePath() {
  wchar_t dump_dir[kDumpPathChars];
  GetDefaultDumpDir(dump_dir);
  // A directory too long for its buffer: no record file rather than one at the root.
  if (dump_dir[0] == L'\0') return std::wstring();
  return std::wstring(dump_dir) + dumpfs::kSep + L"record.dat";
}

bool ReadRecords(const std::wstring& path, DumpRecordMap& records) {
  if (path.empty()) return false;
  FILE* file = platform::OpenFile(path, "rb");
  if (file == nullptr) return false;
  std::string text;
  char piece[4096];
  size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) text.append(piece, got);
  std::fclose(file);
  int skipped = 0;
  ParseRecordText(text, records, &skipped);
  for (int i = 0; i < skipped; ++i) LogDebug("Read a wrong file info, and skip it.");
  return true;
}

bool WriteRecords(const std::wstring& path, const DumpRecordMap& records, int64_t now) {
  if (path.empty()) return false;
  FILE* file = platform::OpenFile(path, "wb");
  if (file == nullptr) return false;
  const std::string text = FormatRecordText(records, now);
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

bool CompressBeside(const wchar_t* source) {
  return CompressTo(source, std::wstring(source != nullptr ? source : L"") + L".gz");
}

bool CompressIntoDumpDir(const wchar_t* source, std::wstring& out) {
  const std::wstring name = NameOf(source);
  wchar_t workspace[kDumpPathChars];
  std::wstring directory;
  if (ReadDumpWorkspace(workspace)) {
    // No data directory yet: no place for the copy (not the drive's root).
    const std::wstring data_dir = CommonInfo::Instance().GetDataDir();
    if (data_dir.empty()) return false;
    directory = data_dir + dumpfs::kSep + L"dump";
  } else {
    // "%s\\%s\\dump" with the library directory and "\\pxr64\\".
    wchar_t dump_dir[kDumpPathChars];
    GetDefaultDumpDir(dump_dir);
    directory = dump_dir;
  }
  if (directory.empty()) return false;
  out = directory + dumpfs::kSep + name + L".gz";
  if (!dumpfs::IsDirectory(directory.c_str())) dumpfs::CreateOneLevel(directory.c_str());
  return CompressTo(source, out);
}

int32_t uploadCrash(const wchar_t* dump_path, const char* guid, int32_t crash_kind, bool into_dump_dir) {
  try {
    return UploadCrashUnguarded(dump_path, guid, crash_kind, into_dump_dir);
  } catch (...) {
    return -1;  // memory ran out: nothing was sent
  }
}

namespace {
int32_t UploadCrashUnguarded(const wchar_t* dump_path, const char* guid, int32_t crash_kind, bool into_dump_dir) {
  LogDebug("uploadCrash\n");
  // No dump was written (its path did not fit): there is nothing to send.
  if (dump_path == nullptr || dump_path[0] == L'\0') return -2;
  std::wstring send_path;
  if (into_dump_dir) {
    std::wstring compressed;
    send_path = CompressIntoDumpDir(dump_path, compressed) ? compressed : std::wstring(dump_path);
  } else {
    send_path = CompressBeside(dump_path) ? std::wstring(dump_path) + L".gz" : std::wstring(dump_path);
  }
  if (send_path == dump_path) LogDebug("Failed to compress dump file, try to upload it directly.\n");

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kUploadBufferBytes]);
  if (!buffer) return -2;
  int64_t read = -1;
  {
    OpenFile file(dumpfs::OpenReadShared(send_path.c_str()));
    if (file.Ok()) {
      const int64_t size = dumpfs::Size(file.Get());
      if (size > static_cast<int64_t>(kUploadBufferBytes)) {
        LogDebug("dump file of %lld bytes is cut to the %d bytes of the upload buffer\n",
                 static_cast<long long>(size), static_cast<int>(kUploadBufferBytes));
      }
      read = size < 0 ? -1 : dumpfs::Read(file.Get(), buffer.get(), UploadBytesOf(size));
    }
  }
  if (read < 0) return -2;

  std::unique_ptr<UploadTask> task = UploadTaskFactory::Instance().CreateCrashTask();
  task->SetExpUid(guid != nullptr ? guid : "");
  return task->SendCrashReport(crash_kind, buffer.get(), static_cast<int32_t>(read));
}
}  // namespace

std::vector<std::string> ScanRecentDumps(const std::string& directory) {
  RecentDumpSelector selector(directory, dumpfs::kNarrowSep, dumpfs::Now());
  dumpfs::ListDumpFiles(directory, [&](const DumpListingEntry& entry) { return selector.Offer(entry); });
  return selector.Result();
}

bool FileDigest(const wchar_t* path, char (&out)[33]) {
  out[0] = '\0';
  OpenFile file(dumpfs::OpenReadShared(path));
  if (!file.Ok()) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return false;
  std::unique_ptr<char[]> piece(new char[64 * 1024]);
  size_t remaining = kDumpHeadBytes;
  while (remaining > 0) {
    const int64_t got = dumpfs::Read(file.Get(), piece.get(), remaining < 65536 ? remaining : 65536);
    if (got < 0) return false;
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), piece.get(), static_cast<size_t>(got)) != 1) return false;
    remaining -= static_cast<size_t>(got);
  }
  unsigned char digest[16];
  unsigned int length = 0;
  unsigned char full[EVP_MAX_MD_SIZE];
  if (EVP_DigestFinal_ex(context.get(), full, &length) != 1 || length != 16) return false;
  for (int i = 0; i < 16; ++i) digest[i] = full[i];
  FormatDigestHex(digest, out);
  return true;
}

int32_t UploadDumpsInDir(const std::string& directory, bool marker_only) {
  const std::vector<std::string> dumps = ScanRecentDumps(directory);
  const std::wstring record_path = RecordFilePath();
  DumpRecordMap records;
  if (!ReadRecords(record_path, records)) LogDebug("Failed to open record.dat.");
  WaitForInitialisation();

  for (const std::string& dump : dumps) {
    const std::wstring wide = platform::NarrowToWide(dump.c_str(), kDumpPathChars);
    char digest[33];
    FileDigest(wide.c_str(), digest);
    if (records.count(digest) != 0) continue;
    bool send = !marker_only;
    if (marker_only) {
      OpenFile file(dumpfs::OpenReadShared(wide.c_str()));
      size_t length = 0;
      std::unique_ptr<char[]> head = file.Ok() ? ReadHead(file.Get(), kDumpHeadBytes, &length) : nullptr;
      send = head != nullptr && ContainsDumpMarker(head.get(), length);
    }
    std::string guid = kNotUploadText;
    if (send) {
      guid = AnnounceUpload("Upload minidump in given dir.");
      uploadCrash(wide.c_str(), guid.c_str(), 0, true);
    }
    records.emplace(digest, DumpRecord{static_cast<int32_t>(dumpfs::Now()), guid});
  }

  if (!WriteRecords(record_path, records, dumpfs::Now())) LogDebug("Failed to open record.dat.");
  return 1;
}

int32_t ReportDumpFile(const char* path) {
  if (path == nullptr) return -1;
  WaitForInitialisation();
  const std::wstring wide = platform::NarrowToWide(path, kDumpPathChars);
  const std::string guid = AnnounceUpload("Report dump file.");
  uploadCrash(wide.c_str(), guid.c_str(), 0, true);
  return 1;
}

}  // namespace Vextra

namespace Vextra::testing_hooks {
void SetInitWaitRoundsForTesting(int rounds) { g_init_wait_rounds.store(rounds); }
}  // namespace Vextra::testing_hooks
