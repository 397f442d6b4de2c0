#include "report/data_file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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

bool MoveFileOver(const std::wstring& from, const std::wstring& to) {
  return rename(WideToUtf8(from).c_str(), WideToUtf8(to).c_str()) == 0;
}

std::vector<std::wstring> FileNamesIn(const std::wstring& dir) {
  std::vector<std::wstring> names;
  DIR* listing = opendir(WideToUtf8(dir).c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    names.push_back(NarrowToWide(entry->d_name, 255));
  }
  closedir(listing);
  return names;
}

bool RemoveFile(const std::wstring& path) { return unlink(WideToUtf8(path).c_str()) == 0; }

}  // namespace Vextra::platform
