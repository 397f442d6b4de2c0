#pragma once
// The real files the symbols tests read: this build's libVextra64.so and its
// debug file, and the Windows build's Vextra64.dll, its debug file and the
// sample host (`make test` builds Windows before these tests run; the
// VEXTRA_WINDOWS_BUILD environment variable names that build). Facts about
// them come from binutils' own readers, never from the code under test.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace symbols_test {

inline bool IsFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Standard output of a shell command.
inline std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

inline std::string Quote(const std::string& path) { return "'" + path + "'"; }

// The first capture of `pattern` in `text`, empty when it does not match.
inline std::string Capture(const std::string& text, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : std::string();
}

inline std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

inline std::string WindowsBuild() {
  const char* dir = std::getenv("VEXTRA_WINDOWS_BUILD");
  return dir ? dir : "";
}

// The address `nm` gives a defined text symbol, 0 when it has none.
inline uint64_t SymbolAddress(const std::string& nm, const std::string& file, const std::string& name) {
  const std::string value = Capture(Run(nm + " " + Quote(file)), "([0-9a-f]+) T " + name + "\n");
  return value.empty() ? 0 : std::stoull(value, nullptr, 16);
}

}  // namespace symbols_test

// Skips the test when the Windows build is not there to read (ctest counts a
// skip as a failure, so `make test` never passes without it).
#define REQUIRE_WINDOWS_FILE(path)                                                        \
  do {                                                                                    \
    if (!symbols_test::IsFile(path)) GTEST_SKIP() << "no Windows build file " << (path); \
  } while (0)
