// A real dump of the Linux crash host, which loads libVextra64.so and faults
// in a known call chain, walked with the real files of its modules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "elf_symbols.h"
#include "stackwalk/stack_walker.h"

#if defined(VEXTRA_LIBRARY_PATH) && defined(VEXTRA_LINUX_CRASH_HOST)

namespace collector {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The module's own path in the dump, when that file is here.
class FilesOnDisk : public ModuleFiles {
 public:
  std::string PathFor(const Vextra::minidump::DumpModule& module) override {
    ++asked[module.name];
    std::error_code error;
    return fs::is_regular_file(module.name, error) ? module.name : "";
  }
  std::map<std::string, int> asked;
};

class NoFiles : public ModuleFiles {
 public:
  std::string PathFor(const Vextra::minidump::DumpModule&) override { return ""; }
};

// Crashes the host once (null-write: main -> RunScenario -> CrashHostNullWrite<0>)
// in a directory of its own and keeps the dump.
class RealLinuxDump : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/vextra_stackwalk_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = new fs::path(pattern);
    fs::copy_file(VEXTRA_LIBRARY_PATH, *dir_ / "libVextra64.so");
    fs::copy_file(VEXTRA_LINUX_CRASH_HOST, *dir_ / "crash_host");
    // Nothing listens on port 1: the report stays behind, the dump is written first.
    const std::string command = "cd '" + dir_->string() +
                                "' && timeout 120 ./crash_host ./libVextra64.so null-write 127.0.0.1:1 >host.out 2>&1";
    std::system(command.c_str());
    for (const auto& entry : fs::directory_iterator(*dir_ / "pxr64" / "dump")) {
      if (entry.path().extension() == ".dmp") dump_ = new std::string(ReadAll(entry.path()));
    }
  }
  static void TearDownTestSuite() {
    if (dir_ != nullptr) fs::remove_all(*dir_);
    delete dir_;
    delete dump_;
  }
  void SetUp() override { ASSERT_NE(dump_, nullptr) << "the crash host left no dump in " << *dir_; }

  // module!function for each frame (the function holding pc - 1 past frame 0).
  static std::vector<std::string> Names(const WalkedDump& walked, const ThreadStack& thread) {
    std::vector<std::string> names;
    for (size_t i = 0; i < thread.frames.size(); ++i) {
      const StackFrame& frame = thread.frames[i];
      if (frame.module_index < 0) {
        names.push_back("?");
        continue;
      }
      const std::string& path = walked.contents.modules[frame.module_index].name;
      auto& symbols = symbols_[path];
      if (symbols == nullptr) symbols = std::make_unique<stackwalk_test::ElfSymbols>(path);
      names.push_back(fs::path(path).filename().string() + "!" +
                      symbols->FunctionAt(frame.module_offset - (i > 0 ? 1 : 0)));
    }
    return names;
  }

  static std::string Describe(const WalkedDump& walked, const ThreadStack& thread) {
    std::ostringstream text;
    const std::vector<std::string> names = Names(walked, thread);
    for (size_t i = 0; i < thread.frames.size(); ++i) {
      text << "  #" << i << " " << std::hex << thread.frames[i].pc << " sp " << thread.frames[i].sp << std::dec << " "
           << thread.frames[i].trust << " " << names[i] << "\n";
    }
    text << "  error: " << thread.error << "\n";
    return text.str();
  }

  static fs::path* dir_;
  static std::string* dump_;
  static std::map<std::string, std::unique_ptr<stackwalk_test::ElfSymbols>> symbols_;
};
fs::path* RealLinuxDump::dir_ = nullptr;
std::string* RealLinuxDump::dump_ = nullptr;
std::map<std::string, std::unique_ptr<stackwalk_test::ElfSymbols>> RealLinuxDump::symbols_;

// Index of the first name at or after from that contains part; -1 if none.
int Find(const std::vector<std::string>& names, const std::string& part, int from) {
  for (int i = from; i < static_cast<int>(names.size()); ++i) {
    if (names[i].find(part) != std::string::npos) return i;
  }
  return -1;
}

TEST_F(RealLinuxDump, FaultingThreadReachesTheHostsCallChainThroughCallFrameInformation) {
  FilesOnDisk files;
  const WalkedDump walked = WalkDump(*dump_, files);
  ASSERT_FALSE(walked.threads.empty());
  const ThreadStack& thread = walked.threads[0];
  SCOPED_TRACE(Describe(walked, thread));
  EXPECT_TRUE(thread.faulting);
  EXPECT_EQ(thread.thread_id, walked.contents.exception.thread_id);
  ASSERT_GE(thread.frames.size(), 3u);
  EXPECT_EQ(thread.frames[0].trust, "context");
  EXPECT_EQ(thread.frames[0].pc, walked.contents.exception.registers.rip);

  const std::vector<std::string> names = Names(walked, thread);
  const std::string host = "crash_host!";
  EXPECT_EQ(Find(names, host + "_ZN12_GLOBAL__N_118CrashHostNullWriteILi0EEEvv", 0), 0);
  // RunScenario may be inlined into main (it is called once); when its
  // symbol exists it must be the caller.
  stackwalk_test::ElfSymbols executable((*dir_ / "crash_host").string());
  int at = 0;
  if (executable.OffsetOf("_ZN12_GLOBAL__N_111RunScenarioERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEPKcS9_") != 0) {
    at = Find(names, host + "_ZN12_GLOBAL__N_111RunScenario", 1);
    EXPECT_EQ(at, 1);
  }
  const int main_at = Find(names, host + "main", at + 1);
  ASSERT_GT(main_at, 0);
  EXPECT_EQ(names[main_at], host + "main");
  for (int i = 1; i <= main_at; ++i) EXPECT_EQ(thread.frames[i].trust, "cfi") << "frame " << i;
  // Beyond main lies the C library's start-up, whose tables mark the end.
  EXPECT_EQ(thread.error, "");
  EXPECT_LT(thread.frames.size(), 12u);
}

TEST_F(RealLinuxDump, EveryThreadUnwindsThroughTheLibraryAndTheCLibrary) {
  FilesOnDisk files;
  const WalkedDump walked = WalkDump(*dump_, files);
  ASSERT_EQ(walked.threads.size(), walked.contents.threads.size());
  bool library_frame_by_cfi = false;
  for (const ThreadStack& thread : walked.threads) {
    SCOPED_TRACE("thread " + std::to_string(thread.thread_id) + "\n" + Describe(walked, thread));
    EXPECT_EQ(thread.error, "");
    ASSERT_FALSE(thread.frames.empty());
    for (size_t i = 1; i < thread.frames.size(); ++i) {
      const StackFrame& frame = thread.frames[i];
      EXPECT_EQ(frame.trust, "cfi") << "frame " << i;
      if (frame.module_index >= 0 &&
          fs::path(walked.contents.modules[frame.module_index].name).filename() == "libVextra64.so") {
        library_frame_by_cfi = true;
      }
    }
  }
  EXPECT_TRUE(library_frame_by_cfi) << "a library thread waits inside libVextra64.so";
  // Each module's file is asked for once in the walk.
  for (const auto& [name, count] : files.asked) EXPECT_EQ(count, 1) << name;
}

// Without any module file, the host (built with frame pointers) is still
// walked to main through its rbp chain or the stack scan.
TEST_F(RealLinuxDump, WithoutModuleFilesFramePointersAndTheScanStillReachMain) {
  NoFiles files;
  const WalkedDump walked = WalkDump(*dump_, files);
  ASSERT_FALSE(walked.threads.empty());
  const ThreadStack& thread = walked.threads[0];
  SCOPED_TRACE(Describe(walked, thread));
  const std::vector<std::string> names = Names(walked, thread);
  EXPECT_GT(Find(names, "crash_host!main", 1), 0);
  bool fallback = false;
  for (size_t i = 1; i < thread.frames.size(); ++i) {
    EXPECT_NE(thread.frames[i].trust, "cfi");
    fallback = fallback || thread.frames[i].trust == "frame pointer" || thread.frames[i].trust == "scan";
  }
  EXPECT_TRUE(fallback);
}

}  // namespace
}  // namespace collector

#endif
