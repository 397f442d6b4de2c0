#include "crash/dump/dump_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "log/time_stamp.h"
#include "platform/text_encoding.h"

namespace Vextra::dumpfs {

const wchar_t kSep = L'/';
const char kNarrowSep = '/';

namespace {
std::string Narrow(const wchar_t* path) { return platform::WideToUtf8(path != nullptr ? path : L""); }

bool HasDumpSuffix(const char* name) {
  const size_t length = std::char_traits<char>::length(name);
  return length >= 4 && strcasecmp(name + length - 4, ".dmp") == 0;
}
}  // namespace

FileHandle OpenReadCreate(const wchar_t* path) {
  const int fd = open(Narrow(path).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  return fd < 0 ? kNoFile : fd;
}

FileHandle OpenReadShared(const wchar_t* path) {
  const int fd = open(Narrow(path).c_str(), O_RDONLY | O_CLOEXEC);
  return fd < 0 ? kNoFile : fd;
}

int64_t Size(FileHandle file) {
  struct stat st {};
  if (file == kNoFile || fstat(static_cast<int>(file), &st) != 0) return -1;
  return st.st_size;
}

int64_t Read(FileHandle file, char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t got = read(static_cast<int>(file), buffer + done, length - done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

void Close(FileHandle file) {
  if (file != kNoFile) close(static_cast<int>(file));
}

bool IsDirectory(const wchar_t* path) {
  struct stat st {};
  return stat(Narrow(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void CreateOneLevel(const wchar_t* path) { mkdir(Narrow(path).c_str(), 0755); }

bool WriteGzip(const wchar_t* path, const char* bytes, size_t length) {
  gzFile out = gzopen(Narrow(path).c_str(), "w");
  if (out == nullptr) return false;
  const int written = length > 0 ? gzwrite(out, bytes, static_cast<unsigned>(length)) : 0;
  const bool closed = gzclose(out) == Z_OK;
  return closed && static_cast<size_t>(written) == length;
}

bool ListDumpFiles(const std::string& directory, const std::function<bool(const DumpListingEntry&)>& offer) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    if (!HasDumpSuffix(entry->d_name)) continue;
    struct stat st {};
    const std::string path = directory + kNarrowSep + entry->d_name;
    if (stat(path.c_str(), &st) != 0) continue;
    DumpListingEntry listed;
    listed.name = entry->d_name;
    listed.isDirectory = S_ISDIR(st.st_mode);
    listed.writeTime = static_cast<int64_t>(st.st_mtime);
    if (!offer(listed)) break;
  }
  closedir(dir);
  return true;
}

int64_t Now() { return static_cast<int64_t>(WallClockSeconds()); }

void SleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace Vextra::dumpfs
