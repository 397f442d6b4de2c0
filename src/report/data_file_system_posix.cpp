#include "report/data_file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/text_encoding.h"

namespace Vextra::platform {

int StatDirectory(const std::wstring& path, bool* is_directory) {
  struct stat st {};
  int result = stat(WideToUtf8(path).c_str(), &st);
  *is_directory = result == 0 && S_ISDIR(st.st_mode);
  return result;
}

int LastSystemError() { return errno; }

FILE* CreateNewFile(const std::wstring& path, bool* already_exists) {
  *already_exists = false;
  int fd = open(WideToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *already_exists = errno == EEXIST;
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    unlink(WideToUtf8(path).c_str());  // the empty file just made is no report
  }
  return file;
}

bool RemoveFile(const std::wstring& path) { return unlink(WideToUtf8(path).c_str()) == 0; }

}  // namespace Vextra::platform
