#include "report/data_file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace Vextra::platform {

int StatDirectory(const std::wstring& path, bool* is_directory) {
  struct _stat64 st {};
  int result = _wstat64(path.c_str(), &st);
  *is_directory = result == 0 && (st.st_mode & _S_IFDIR) != 0;
  return result;
}

int LastSystemError() { return static_cast<int>(GetLastError()); }

FILE* CreateNewFile(const std::wstring& path, bool* already_exists) {
  *already_exists = false;
  // _O_EXCL with _O_CREAT: create-new semantics; shared with other readers and writers.
  int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *already_exists = errno == EEXIST;
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
    DeleteFileW(path.c_str());  // the empty file just made is no report
  }
  return file;
}

bool MoveFileOver(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

std::vector<std::wstring> FileNamesIn(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool RemoveFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

}  // namespace Vextra::platform
