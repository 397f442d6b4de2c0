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
inline std::string Shell(const std::string& command) {
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

// What objdump says about a PE file's CodeView record and image base.
struct ObjdumpFacts {
  std::string signature, pdb;
  unsigned age = 0;
  uint64_t image_base = 0;
  uint64_t record_offset = 0, record_size = 0;
};

inline ObjdumpFacts PeFacts(const std::string& path) {
  const std::string text = Shell(std::string("x86_64-w64-mingw32-objdump") + " -p " + Quote(path));
  ObjdumpFacts facts;
  facts.signature = Capture(text, "format RSDS signature ([0-9a-f]{32}) age");
  const std::string age = Capture(text, "format RSDS signature [0-9a-f]{32} age ([0-9]+)");
  facts.age = age.empty() ? 0 : static_cast<unsigned>(std::stoul(age));
  facts.pdb = Capture(text, "format RSDS signature [0-9a-f]{32} age [0-9]+ pdb ([^)]*)\\)");
  const std::string base = Capture(text, "\nImageBase\\s+([0-9a-f]+)");
  facts.image_base = base.empty() ? 0 : std::stoull(base, nullptr, 16);
  const std::string size = Capture(text, "CodeView ([0-9a-f]{8}) [0-9a-f]{8} [0-9a-f]{8}");
  const std::string offset = Capture(text, "CodeView [0-9a-f]{8} [0-9a-f]{8} ([0-9a-f]{8})");
  facts.record_size = size.empty() ? 0 : std::stoull(size, nullptr, 16);
  facts.record_offset = offset.empty() ? 0 : std::stoull(offset, nullptr, 16);
  return facts;
}

inline std::string ElfBuildId(const std::string& path) {
  return Capture(Shell("readelf -n " + Quote(path)), "Build ID: ([0-9a-f]+)");
}

// The identity key objdump's RSDS signature and age stand for.
inline std::string PeDebugId(const std::string& path) {
  const ObjdumpFacts facts = PeFacts(path);
  char age[16];
  std::snprintf(age, sizeof(age), "%X", facts.age);
  return facts.signature.empty() ? std::string() : Upper(facts.signature) + age;
}

inline std::string WindowsBuild() {
  const char* dir = std::getenv("VEXTRA_WINDOWS_BUILD");
  return dir ? dir : "";
}

// The address `nm` gives a defined text symbol, 0 when it has none.
inline uint64_t SymbolAddress(const std::string& nm, const std::string& file, const std::string& name) {
  const std::string value = Capture(Shell(nm + " " + Quote(file)), "([0-9a-f]+) T " + name + "\n");
  return value.empty() ? 0 : std::stoull(value, nullptr, 16);
}

}  // namespace symbols_test

// Skips the test when the Windows build is not there to read (ctest counts a
// skip as a failure, so `make test` never passes without it).
#define REQUIRE_WINDOWS_FILE(path)                                                        \
  do {                                                                                    \
    if (!symbols_test::IsFile(path)) GTEST_SKIP() << "no Windows build file " << (path); \
  } while (0)
