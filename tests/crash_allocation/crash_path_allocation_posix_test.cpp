// The crash entries on the system's own clock and files, with every heap
// allocation and every blocking lock of the crashing thread counted up to the
// moment its dump starts: a crash may come while another thread holds the
// allocator's lock or dies holding a mutex, so nothing of either may be taken
// before the dump. The SDK log's own lock is bounded and is not a mutex.
// This program must start clean: no exception code accepted and no crash
// seen before its first test, as in a host that never added a code.
// Then the Linux dump itself as the crash path writes it: the other threads
// stopped by signal, the snapshot taken into storage reserved at
// installation, the dump and its file written.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/process_flags.h"
#include "crash/crash_context.h"
#include "crash/crash_dump_sink.h"
#include "crash/crash_entries.h"
#include "crash/crash_options.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/minidump_writer.h"
#include "crash/exception_facts.h"
#include "crash/ignored_modules.h"
#include "crash/prepared_crash_guid.h"
#include "crash/send_exception.h"
#include "crash/signal_record_posix.h"
#include "crash/thread_stop_posix.h"
#include "log/sdk_log.h"
#include "minidump/linux_process_snapshot.h"
#include "platform/text_encoding.h"
#include "support/counting_allocator_posix.h"
#include "support/temp_dir.h"

namespace {

using namespace Vextra;

// What the counters held when the dump began.
struct AtDump {
  int dumps = 0;
  long allocations = -1;
  long locks = -1;
};
AtDump g_at_dump;

const CrashDumpSink& CountingSink() {
  static const CrashDumpSink sink{
      [](wchar_t (&dir)[260]) {
        dir[0] = L'\0';
        return true;
      },
      nullptr,
      [](const wchar_t*, const char*, int32_t, bool) { return int32_t{0}; },
      [](_EXCEPTION_POINTERS*, uint32_t, wchar_t (&path)[260]) {
        // The dump starts here: what came before is the crash path's.
        vextra_test::StopCounting();
        ++g_at_dump.dumps;
        g_at_dump.allocations = vextra_test::CountedAllocations();
        g_at_dump.locks = vextra_test::CountedLocks();
        path[0] = L'\0';
      },
  };
  return sink;
}

// Stands for the platform's exception pointers: only passed along.
_EXCEPTION_POINTERS* const kPointers = reinterpret_cast<_EXCEPTION_POINTERS*>(uintptr_t{0xABC0});

ExceptionFacts Fault(uint32_t code, uintptr_t address) {
  ExceptionFacts facts;
  facts.pointers = kPointers;
  facts.has_record = true;
  facts.code = code;
  facts.address = address;
  return facts;
}

TEST(CrashPathAllocation, NothingIsAllocatedOrLockedBeforeTheDump) {
#ifdef VEXTRA_OWN_ALLOCATOR
  GTEST_SKIP() << "the sanitizer's allocator cannot be counted here";
#endif
  // The counters see operator new, the C runtime's malloc and a mutex.
  ASSERT_GT(vextra_test::AllocationsDuring([] { delete new std::string(100, 'x'); }), 0);
  vextra_test::StartCounting();
  {
    static std::mutex mutex;
    std::lock_guard<std::mutex> hold(mutex);
  }
  vextra_test::StopCounting();
  ASSERT_EQ(vextra_test::CountedLocks(), 1);

  // What start-up does before any crash: the crash context and the copy of
  // the ignore list exist from load, the SDK log is open, the first crash's
  // GUID is made, the library marked started, the vectored handler switched
  // on. No exception code is added.
  CHcSpyGlobal::Instance();
  SnapshotIgnoredDllNames();
  SetDebugMode(true);
  LogAlways("opening the SDK log\n");
  PrepareCrashGuid();
  StoreVehEnable(true);
  MarkInitialized();
  testing_hooks::SetCrashDumpSinkForTesting(&CountingSink());

  // The first case is the process's first crash: the accepted codes are read
  // for the first time there.
  static const struct {
    const char* what;
    long (*entry)(const ExceptionFacts&);
    ExceptionFacts facts;
  } kCases[] = {
      {"vectored handler, access violation", &HcSpyVectoredExceptionHandler, Fault(0xC0000005, 0x1000)},
      {"vectored handler, fatal application exit", &HcSpyVectoredExceptionHandler, Fault(0x40000015, 0x2000)},
      {"top-level filter, stack buffer overrun", &HcSpyUnhandledExceptionFilter, Fault(0xC0000409, 0x3000)},
      {"in-catch filter, the host's own code", &HcSpyInCatchExceptionFilter, Fault(0xE0000001, 0x4000)},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    g_at_dump = AtDump{};
    vextra_test::StartCounting();
    row.entry(row.facts);
    vextra_test::StopCounting();
    ASSERT_EQ(g_at_dump.dumps, 1) << "the entry reached the dump";
    EXPECT_EQ(g_at_dump.allocations, 0);
    EXPECT_EQ(g_at_dump.locks, 0);
  }
  testing_hooks::SetCrashDumpSinkForTesting(nullptr);
  SetDebugMode(false);
}

TEST(LinuxDumpAllocation, StoppingTheThreadsAndWritingTheDumpAllocatesAndLocksNothing) {
  ASSERT_GT(vextra_test::AllocationsDuring([] { delete new std::string(100, 'x'); }), 0);

  // What installation does.
  ASSERT_TRUE(Vextra::minidump::ReserveCrashSnapshot());
  ASSERT_TRUE(Vextra::InstallThreadStopHandler());
  vextra_test::TempDir dir("vextra-linux-dump-allocation");
  Vextra::PublishDumpWorkspace(true, dir.path().wstring());

  // Threads the crash must stop: they wait, as most of a host's do.
  std::atomic<bool> stop{false};
  std::atomic<int> running{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      ++running;
      while (!stop.load()) usleep(1000);
    });
  }
  while (running.load() < 4) std::this_thread::yield();

  ucontext_t context;
  getcontext(&context);
  siginfo_t info{};
  info.si_signo = SIGSEGV;
  info.si_code = SEGV_MAPERR;
  _EXCEPTION_POINTERS pointers{SIGSEGV, &info, &context, 0xC0000005u, static_cast<uint32_t>(syscall(SYS_gettid))};
  wchar_t dump_path[Vextra::kDumpPathChars];

  vextra_test::StartCounting();
  Vextra::WriteCrashDump(&pointers, dump_path);
  vextra_test::StopCounting();
  stop.store(true);
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(vextra_test::CountedAllocations(), 0);
  EXPECT_EQ(vextra_test::CountedLocks(), 0);
  // The dump was really written, with every thread.
  const std::filesystem::path written = Vextra::platform::WideToUtf8(dump_path);
  ASSERT_TRUE(std::filesystem::exists(written)) << written;
  EXPECT_GT(std::filesystem::file_size(written), 5u * 1024);
  EXPECT_EQ(Vextra::minidump::CrashSnapshot()->ThreadCount(), 5u);
  EXPECT_EQ(Vextra::minidump::CrashSnapshot()->AnsweredThreadCount(), 4u);
  Vextra::testing_hooks::ResetDumpSettingsForTesting();
}

}  // namespace
