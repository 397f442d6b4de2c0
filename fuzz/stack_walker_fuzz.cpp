// The stack walker over any dump bytes, with every module's file one of a
// few small module files (PE with unwind codes, ELF with call frame
// information) or none, chosen by the first byte: it reads only what the
// dump and the files hold, stays within its limits and never loops.
#include <unistd.h>

#include <fstream>
#include <string>

#include "fuzz_target.h"
#include "stackwalk/stack_walker.h"
#include "stackwalk/tests/fixture_files.h"

namespace {

std::string WriteModule(const char* kind, const std::string& bytes) {
  const std::string path = "/tmp/vextra_stack_walker_fuzz_" + std::to_string(getpid()) + "_" + kind;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return path;
}

// 0: no file; 1: the PE file; 2: the ELF file. Written once per process.
const std::string& ModulePath(int which) {
  namespace t = stackwalk_test;
  static const std::string none;
  static const std::string pe = [] {
    std::string rdata(0x400, '\0');
    const uint32_t functions[2][3] = {{0x1000, 0x1100, 0x2100}, {0x1100, 0x1200, 0x2140}};
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 3; ++j) t::PutValue<uint32_t>(&rdata, i * 12 + j * 4, functions[i][j]);
    }
    // push rbx; sub rsp, 0x20. Then: push rbp; sub rsp, 0x20; lea rbp, [rsp + 0x20];
    // save r12; chained to the first entry.
    const std::string first("\x01\x05\x02\x00\x05\x32\x01\x30", 8);
    const std::string second(
        "\x21\x0F\x04\x25\x0F\xC4\x02\x00\x0A\x03\x01\x50\x00\x10\x00\x00\x00\x11\x00\x00\x00\x21\x00\x00", 24);
    rdata.replace(0x100, first.size(), first);
    rdata.replace(0x140, second.size(), second);
    std::string code(0x400, '\x90');
    code.replace(0x80, 6, std::string("\x48\x83\xC4\x20\x5B\xC3", 6));  // an epilogue
    code.replace(0x200, 5, std::string("\xE8\x00\x00\x00\x00", 5));      // a call
    return WriteModule("pe", t::MakePe(code, rdata, 24));
  }();
  static const std::string elf = [] {
    std::string code(0x100, '\x90');
    code.replace(0x20, 5, std::string("\xE8\x00\x00\x00\x00", 5));
    return WriteModule("elf", t::MakeElf(code, t::EhFrame(0x1000, 0x100, std::string("\x41\x0E\x10\x83\x02\x44\x0E\x30", 8))));
  }();
  return which == 1 ? pe : which == 2 ? elf : none;
}

class FixedFiles : public collector::ModuleFiles {
 public:
  explicit FixedFiles(int which) : which_(which) {}
  std::string PathFor(const Vextra::minidump::DumpModule&) override { return ModulePath(which_); }

 private:
  int which_;
};

}  // namespace

VEXTRA_FUZZ_TARGET(stack_walker) {
  if (size == 0) return 0;
  FixedFiles files(data[0] % 3);
  const std::string dump(reinterpret_cast<const char*>(data) + 1, size - 1);
  const collector::WalkLimits limits{64, 256};
  const collector::WalkedDump walked = collector::WalkDump(dump, files, limits);

  FUZZ_CHECK(walked.threads.size() == walked.contents.threads.size());
  for (size_t t = 0; t < walked.threads.size(); ++t) {
    const collector::ThreadStack& thread = walked.threads[t];
    FUZZ_CHECK(thread.frames.size() <= 64);
    FUZZ_CHECK(!thread.faulting || t == 0);
    FUZZ_CHECK(thread.thread_index >= 0 && thread.thread_index < static_cast<int>(walked.contents.threads.size()));
    const Vextra::minidump::DumpThread* stored =
        thread.thread_index >= 0 ? &walked.contents.threads[thread.thread_index] : nullptr;
    FUZZ_CHECK(stored == nullptr || stored->thread_id == thread.thread_id);
    for (size_t i = 0; i < thread.frames.size(); ++i) {
      const collector::StackFrame& frame = thread.frames[i];
      if (i == 0) {
        FUZZ_CHECK(frame.trust == "context");
      } else {
        FUZZ_CHECK(frame.trust == "cfi" || frame.trust == "frame pointer" || frame.trust == "scan");
      }
      FUZZ_CHECK(frame.module_index < static_cast<int>(walked.contents.modules.size()));
      if (frame.module_index >= 0) {
        const auto& module = walked.contents.modules[frame.module_index];
        FUZZ_CHECK(frame.pc - module.base < module.size && frame.module_offset == frame.pc - module.base);
      }
      if (i > 0 && stored != nullptr) {
        // Every caller's stack pointer rose and stayed in the stored stack.
        FUZZ_CHECK(frame.sp > thread.frames[i - 1].sp);
        FUZZ_CHECK(frame.sp >= stored->stack_start && frame.sp - stored->stack_start <= stored->stack_size);
      }
    }
  }
  return 0;
}
