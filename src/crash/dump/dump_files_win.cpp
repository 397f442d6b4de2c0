#include "crash/dump/dump_files.h"

#include <io.h>
#include <windows.h>
#include <zlib.h>

#include "log/time_stamp.h"

namespace Vextra::dumpfs {

const wchar_t kSep = L'\\';
const char kNarrowSep = '\\';

namespace {
FileHandle FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}
HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
}  // namespace

FileHandle OpenReadCreate(const wchar_t* path) {
  return FromHandle(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle OpenReadShared(const wchar_t* path) {
  return FromHandle(
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int64_t Size(FileHandle file) {
  LARGE_INTEGER size{};
  if (file == kNoFile || !GetFileSizeEx(ToHandle(file), &size)) return -1;
  return size.QuadPart;
}

int64_t Read(FileHandle file, char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const DWORD want = static_cast<DWORD>(length - done > 0x40000000 ? 0x40000000 : length - done);
    DWORD got = 0;
    if (!ReadFile(ToHandle(file), buffer + done, want, &got, nullptr)) return -1;
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

void Close(FileHandle file) {
  if (file != kNoFile) CloseHandle(ToHandle(file));
}

bool IsDirectory(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void CreateOneLevel(const wchar_t* path) { CreateDirectoryW(path, nullptr); }

bool WriteGzip(const wchar_t* path, const char* bytes, size_t length) {
  gzFile out = gzopen_w(path, "w");
  if (out == nullptr) return false;
  const int written = length > 0 ? gzwrite(out, bytes, static_cast<unsigned>(length)) : 0;
  const bool closed = gzclose(out) == Z_OK;
  return closed && static_cast<size_t>(written) == length;
}

bool ListDumpFiles(const std::string& directory, const std::function<bool(const DumpListingEntry&)>& offer) {
  const std::string pattern = directory + "\\*.dmp";
  _finddata64i32_t found{};
  const intptr_t search = _findfirst64i32(pattern.c_str(), &found);
  if (search == -1) return false;
  do {
    DumpListingEntry listed;
    listed.name = found.name;
    listed.isDirectory = (found.attrib & _A_SUBDIR) != 0;
    listed.writeTime = static_cast<int64_t>(found.time_write);
    if (!offer(listed)) break;
  } while (_findnext64i32(search, &found) == 0);
  _findclose(search);
  return true;
}

int64_t Now() { return static_cast<int64_t>(WallClockSeconds()); }

void SleepMs(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace Vextra::dumpfs
