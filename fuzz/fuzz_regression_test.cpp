// Feeds every seed (fuzz/corpus/<target>/) and every input that once broke a
// target (fuzz/regressions/<target>/) to the code the fuzzer runs, so each
// stays mended in every build of the unit tests, the sanitizer builds included.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "fuzz_target.h"

namespace vextra_fuzz {
namespace {

std::map<std::string, Entry>& Targets() {
  static std::map<std::string, Entry> targets;
  return targets;
}

const std::filesystem::path kFuzzDir = VEXTRA_FUZZ_DIR;

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs every file of directory through entry; returns how many there were.
int FeedDirectory(const std::filesystem::path& directory, Entry entry) {
  int fed = 0;
  if (!std::filesystem::is_directory(directory)) return 0;
  for (const auto& file : std::filesystem::directory_iterator(directory)) {
    if (!file.is_regular_file()) continue;
    SCOPED_TRACE(file.path().string());
    std::string bytes = ReadAll(file.path());
    entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++fed;
  }
  return fed;
}

}  // namespace

bool Register(const char* name, Entry entry) {
  Targets()[name] = entry;
  return true;
}

void CheckFailed(const char* condition, const char* file, int line) {
  ADD_FAILURE_AT(file, line) << "FUZZ_CHECK failed: " << condition;
}

namespace {

TEST(FuzzRegressions, EverySeedAndStoredInputPasses) {
  ASSERT_FALSE(Targets().empty());
  for (const auto& [name, entry] : Targets()) {
    SCOPED_TRACE(name);
    EXPECT_GT(FeedDirectory(kFuzzDir / "corpus" / name, entry), 0) << "every target has seeds";
    FeedDirectory(kFuzzDir / "regressions" / name, entry);
  }
}

// A stored input under a misspelt directory would never be fed.
TEST(FuzzRegressions, EveryInputDirectoryNamesATarget) {
  for (const char* kind : {"corpus", "regressions"}) {
    if (!std::filesystem::is_directory(kFuzzDir / kind)) continue;
    for (const auto& directory : std::filesystem::directory_iterator(kFuzzDir / kind)) {
      if (!directory.is_directory()) continue;
      EXPECT_EQ(Targets().count(directory.path().filename().string()), 1u) << directory.path();
    }
  }
}

}  // namespace
}  // namespace vextra_fuzz
