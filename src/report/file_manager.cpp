#include "report/file_manager.h"

#include <cstdio>
#include <cwchar>
#include <ctime>
#include <random>

#include "core/common_info.h"
#include "core/protocol_names.h"
#include "platform/file_system.h"
#include "platform/path_text.h"
#include "platform/process_info.h"
#include "platform/text_encoding.h"
#include "report/data_file_system.h"

namespace Vextra {
namespace {

constexpr size_t kMaxPathUsed = kWidePathChars - 1;

// Makes sure path is a directory, creating its last level when it is not.
// stat_result receives the first stat's result, error the system error of a
// failed create (taken before anything else can overwrite it).
bool EnsureDirectory(const std::wstring& path, int* stat_result, int* error) {
  bool is_directory = false;
  *stat_result = platform::StatDirectory(path, &is_directory);
  if (is_directory) return true;
  if (platform::CreateDirectoryOneLevel(path)) return true;
  *error = platform::LastSystemError();
  // Another thread or process may have created it in the meantime.
  platform::StatDirectory(path, &is_directory);
  return is_directory;
}

bool EnsureDirectory(const std::wstring& path) {
  int stat_result = 0;
  int error = 0;
  return EnsureDirectory(path, &stat_result, &error);
}

// "%s/%s" of root and "vextra_data", or empty when it does not fit a path buffer.
std::wstring DataDirOf(const std::wstring& root) {
  std::wstring dir = root + L"/" + kDataDirName;
  return dir.size() > kMaxPathUsed ? std::wstring() : dir;
}

void PrintMessage(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

std::wstring PrepareCustomRoot(CommonInfo& info) {
  std::wstring root = info.GetWorkspace();
  int stat_result = 0;
  int error = 0;
  if (!EnsureDirectory(root, &stat_result, &error)) {
    // As narrow bytes: "%ls" stops at the first character the C locale cannot
    // write, which cuts off any non-ASCII path on Linux.
    std::printf("Create custom dir root failed. %s %d", platform::WideToAnsi(root).c_str(), stat_result);
    std::printf("Last Error %d\n", error);
    std::fflush(stdout);
    return {};
  }
  std::wstring data_dir = DataDirOf(root);
  if (data_dir.empty() || !EnsureDirectory(data_dir)) {
    PrintMessage("Create vextra dir failed");
    return {};
  }
  return data_dir;
}

std::wstring PrepareDefaultRoot(CommonInfo& info, const std::wstring& module_path) {
  const std::wstring module_dir = platform::DirectoryOf(module_path);
  // A module directory the workspace setting cannot hold stops without a message.
  if (module_dir.empty() || module_dir.size() > kMaxPathUsed) return {};
  // Built here rather than read back, so a workspace too long for the setting is
  // refused instead of cut.
  const std::wstring root = module_dir + L"/" + kWorkspaceDirName;
  if (root.size() > kMaxPathUsed) {
    PrintMessage("failed");
    return {};
  }
  info.SetWorkspace(module_dir, false);
  if (!EnsureDirectory(root)) {
    PrintMessage("failed");
    return {};
  }
  const std::wstring data_dir = DataDirOf(root);
  if (data_dir.empty() || !EnsureDirectory(data_dir)) {
    PrintMessage("failed");
    return {};
  }
  return data_dir;
}

}  // namespace

FileManager::FileManager() {
  // The instance exists whatever happens here; a failure only leaves dataDir unset.
  try {
    PrepareWorkspace(platform::LibraryPath());
  } catch (...) {
  }
}
FileManager::~FileManager() = default;

bool FileManager::PrepareWorkspace(const std::wstring& module_path) {
  CommonInfo& info = CommonInfo::Instance();
  std::wstring data_dir =
      info.GetCustomWorkspace() ? PrepareCustomRoot(info) : PrepareDefaultRoot(info, module_path);
  if (data_dir.empty()) return false;
  info.SetDataDir(data_dir);
  info.SetDataDirReady(true);
  return true;
}

std::wstring DataFileName(const std::wstring& data_dir, int32_t report_type, int32_t seconds,
                          int32_t number) {
  const wchar_t* stem = report_type == kReportTypeCrash   ? L"/crash_data.info_"
                        : report_type == kReportTypeError ? L"/error_data.info_"
                                                          : L"/unkown_data.info_";
  return data_dir + stem + std::to_wstring(seconds) + L"_" + std::to_wstring(number);
}

namespace {

constexpr const wchar_t* kDataFileStems[] = {L"crash_data.info_", L"error_data.info_", L"unkown_data.info_"};

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// The digits of text from at (at least one, at most 18) as a number; at moves past them.
bool ReadNumber(const std::wstring& text, size_t* at, int64_t* value) {
  const size_t start = *at;
  int64_t number = 0;
  while (*at < text.size() && text[*at] >= L'0' && text[*at] <= L'9' && *at - start < 18) {
    number = number * 10 + (text[*at] - L'0');
    ++*at;
  }
  *value = number;
  return *at > start;
}

}  // namespace

std::wstring DataFileNameIn(const std::wstring& path, const std::wstring& data_dir) {
  if (data_dir.empty() || path.size() <= data_dir.size() + 1 || path.compare(0, data_dir.size(), data_dir) != 0 ||
      !IsSeparator(path[data_dir.size()])) {
    return {};
  }
  const std::wstring name = path.substr(data_dir.size() + 1);
  for (wchar_t c : name) {
    if (IsSeparator(c)) return {};
  }
  for (const wchar_t* stem : kDataFileStems) {
    if (name.compare(0, std::wcslen(stem), stem) == 0) return name;
  }
  return {};
}

bool DataFileSeconds(const std::wstring& name, int64_t* seconds) {
  for (const wchar_t* stem : kDataFileStems) {
    const size_t stem_length = std::wcslen(stem);
    if (name.compare(0, stem_length, stem) != 0) continue;
    size_t at = stem_length;
    int64_t value = 0;
    int64_t number = 0;
    if (!ReadNumber(name, &at, &value) || at >= name.size() || name[at] != L'_') return false;
    ++at;
    if (!ReadNumber(name, &at, &number) || at != name.size()) return false;
    *seconds = value;
    return true;
  }
  return false;
}

int32_t FirstDataFileNumber(int32_t seconds) {
  // A private generator: seeding the C runtime's would reset the host's rand().
  std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(static_cast<uint32_t>(seconds)));
  return static_cast<int32_t>(generator() % kDataFileNumbers);
}

bool WriteReportDataFile(wchar_t* path, const char* bytes, int64_t length, int32_t report_type) {
  FileManager::Instance();  // prepares the data directory on first use
  return WriteInfoFile(path, bytes, length, report_type);
}

bool WriteInfoFile(wchar_t* path, const char* bytes, int64_t length, int32_t report_type) {
  return WriteInfoFileAt(path, bytes, length, report_type, static_cast<int32_t>(std::time(nullptr)));
}

bool WriteInfoFileAt(wchar_t* path, const char* bytes, int64_t length, int32_t report_type,
                     int32_t seconds) {
  if (path == nullptr || bytes == nullptr || length <= 0) return false;
  CommonInfo& info = CommonInfo::Instance();
  std::wstring data_dir = info.GetDataDir();
  // Without a data directory the name would point at the root of the drive.
  if (!info.GetDataDirReady() || data_dir.empty()) return false;

  const int32_t first = FirstDataFileNumber(seconds);
  for (int32_t step = 0; step < kDataFileNumbers; ++step) {
    std::wstring name = DataFileName(data_dir, report_type, seconds, (first + step) % kDataFileNumbers);
    if (name.size() > kMaxPathUsed) return false;
    bool already_exists = false;
    FILE* file = platform::CreateNewFile(name, &already_exists);
    if (file == nullptr) {
      if (already_exists) continue;
      return false;
    }
    // The new empty file holds the name; the body is written beside it and
    // moved over it in one step, so a process killed while writing leaves an
    // empty file (no report) rather than a cut-off body under a report's name.
    std::fclose(file);
    const std::wstring part = name + L".part";
    const size_t size = static_cast<size_t>(length);
    bool already = false;
    platform::RemoveFile(part);  // a leftover of a process killed while writing
    FILE* body = platform::CreateNewFile(part, &already);
    bool written = body != nullptr;
    if (body != nullptr) {
      written = std::fwrite(bytes, 1, size, body) == size;
      written = std::fflush(body) == 0 && written;
      written = std::fclose(body) == 0 && written;
    }
    if (!written || !platform::MoveFileOver(part, name)) {
      // A cut-off body must not be taken for a report later.
      platform::RemoveFile(part);
      platform::RemoveFile(name);
      return false;
    }
    name.copy(path, name.size());
    path[name.size()] = L'\0';
    return true;
  }
  return false;
}

}  // namespace Vextra
