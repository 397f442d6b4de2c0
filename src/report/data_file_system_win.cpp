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

bool RemoveFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

}  // namespace Vextra::platform
