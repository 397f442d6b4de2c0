// A dump the Windows crash host wrote under Wine (native-crash: main ->
// Run -> CrashHere -> VX_TestNativeCrash in Vextra64.dll, which faults),
// walked here with the real Vextra64.dll and host program. The Wine stage of
// the tests makes the dump and runs this case (walk_wine_dump.sh), naming the
// dump in VEXTRA_WINE_DUMP and the folder of the module files in
// VEXTRA_WINE_MODULES; without them the case is skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "pe_symbols.h"
#include "stackwalk/stack_walker.h"

namespace collector {
namespace {

namespace fs = std::filesystem;

// The module's file by its name's last component (the dump names Windows paths).
std::string BaseName(const std::string& windows_path) {
  const size_t slash = windows_path.find_last_of("\\/");
  return slash == std::string::npos ? windows_path : windows_path.substr(slash + 1);
}

class FilesInFolder : public ModuleFiles {
 public:
  explicit FilesInFolder(fs::path folder) : folder_(std::move(folder)) {}
  std::string PathFor(const Vextra::minidump::DumpModule& module) override {
    const fs::path path = folder_ / BaseName(module.name);
    std::error_code error;
    return fs::is_regular_file(path, error) ? path.string() : "";
  }

 private:
  fs::path folder_;
};

TEST(WineDump, FaultingThreadReachesTheHostThroughUnwindCodes) {
  const char* dump_path = std::getenv("VEXTRA_WINE_DUMP");
  const char* modules = std::getenv("VEXTRA_WINE_MODULES");
  if (dump_path == nullptr || modules == nullptr) GTEST_SKIP() << "no dump made under Wine given";
  std::ifstream in(dump_path, std::ios::binary);
  const std::string dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(dump.empty()) << dump_path;

  FilesInFolder files(modules);
  const WalkedDump walked = WalkDump(dump, files);
  ASSERT_FALSE(walked.threads.empty());
  const ThreadStack& thread = walked.threads[0];
  EXPECT_TRUE(thread.faulting);

  std::map<std::string, std::unique_ptr<stackwalk_test::PeSymbols>> symbols;
  std::vector<std::string> names;
  std::ostringstream text;
  for (size_t i = 0; i < thread.frames.size(); ++i) {
    const StackFrame& frame = thread.frames[i];
    std::string name = "?";
    if (frame.module_index >= 0) {
      const std::string file = BaseName(walked.contents.modules[frame.module_index].name);
      auto& table = symbols[file];
      if (table == nullptr) table = std::make_unique<stackwalk_test::PeSymbols>((fs::path(modules) / file).string());
      name = file + "!" + table->FunctionAt(frame.module_offset - (i > 0 ? 1 : 0));
    }
    names.push_back(name);
    text << "  #" << i << " " << std::hex << frame.pc << " sp " << frame.sp << std::dec << " " << frame.trust << " "
         << name << "\n";
  }
  text << "  error: " << thread.error << "\n";
  SCOPED_TRACE(text.str());

  auto find = [&](const std::string& part, size_t from) {
    for (size_t i = from; i < names.size(); ++i) {
      if (names[i].find(part) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
  };
  // The optimiser folds Run and CrashHere into main; what remains is
  // VX_TestNativeCrash, then main and the C runtime's start-up that called it.
  EXPECT_EQ(find("Vextra64.dll!VX_TestNativeCrash", 0), 0);
  const int main_at = find("vextra_crash_host.exe!main", 1);
  ASSERT_GT(main_at, 0);
  EXPECT_EQ(names[main_at], "vextra_crash_host.exe!main");
  const int startup = find("vextra_crash_host.exe!__tmainCRTStartup", main_at + 1);
  EXPECT_EQ(startup, main_at + 1);
  EXPECT_EQ(find("vextra_crash_host.exe!mainCRTStartup", main_at + 1), startup + 1);
  for (int i = 1; i <= startup + 1; ++i) EXPECT_EQ(thread.frames[i].trust, "cfi") << "frame " << i;
}

}  // namespace
}  // namespace collector
