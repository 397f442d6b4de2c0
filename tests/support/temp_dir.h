#pragma once
// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.

#include <filesystem>
#include <random>
#include <string>

namespace vextra_test {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "vextra-test") {
    std::random_device device;
    path_ = std::filesystem::temp_directory_path() /
            (prefix + "-" + std::to_string(device()) + std::to_string(device()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::wstring wpath() const { return path_.wstring(); }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace vextra_test
