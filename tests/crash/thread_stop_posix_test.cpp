// Stopping the other threads of this process from inside it: a few live
// threads on stacks of known bounds, a snapshot taken from this thread, and
// what each slot holds.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <cstring>
#include <memory>
#include <vector>

#include "crash/signal_handlers_posix.h"
#include "crash/thread_stop_posix.h"
#include "minidump/linux_process_snapshot.h"

namespace {

using Vextra::minidump::LinuxProcessSnapshot;
using Vextra::minidump::ThreadFacts;

constexpr size_t kStackBytes = 256 * 1024;

// A thread on a stack this test mapped itself, so its bounds are known.
struct Worker {
  void* guard = nullptr;
  void* stack = nullptr;
  pthread_t thread{};
  std::atomic<uint32_t> tid{0};
  std::atomic<uint64_t> spins{0};
  std::atomic<bool>* stop = nullptr;
};

void* WorkerMain(void* raw) {
  auto& worker = *static_cast<Worker*>(raw);
  worker.tid.store(static_cast<uint32_t>(syscall(SYS_gettid)));
  while (!worker.stop->load()) worker.spins.fetch_add(1);
  return nullptr;
}

class ThreadStopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Vextra::InstallThreadStopHandler());
    for (int i = 0; i < 4; ++i) {
      auto worker = std::make_unique<Worker>();
      worker->stop = &stop_;
      // A guard page below each stack, as the threading library lays them out,
      // keeps neighbouring stacks from merging into one mapping.
      const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      void* mapping = mmap(nullptr, kStackBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      ASSERT_NE(mapping, MAP_FAILED);
      ASSERT_EQ(mprotect(mapping, page, PROT_NONE), 0);
      worker->guard = mapping;
      worker->stack = static_cast<char*>(mapping) + page;
      pthread_attr_t attr;
      pthread_attr_init(&attr);
      pthread_attr_setstack(&attr, worker->stack, kStackBytes);
      ASSERT_EQ(pthread_create(&worker->thread, &attr, &WorkerMain, worker.get()), 0);
      pthread_attr_destroy(&attr);
      workers_.push_back(std::move(worker));
    }
    // Every worker has its id and runs.
    for (auto& worker : workers_) {
      while (worker->tid.load() == 0 || worker->spins.load() == 0) sched_yield();
    }
  }
  void TearDown() override {
    stop_.store(true);
    for (auto& worker : workers_) {
      pthread_join(worker->thread, nullptr);
      munmap(worker->guard, kStackBytes + static_cast<size_t>(sysconf(_SC_PAGESIZE)));
    }
  }

  const ThreadFacts* Find(const LinuxProcessSnapshot& snapshot, uint32_t tid) {
    for (uint32_t i = 0; i < snapshot.ThreadCount(); ++i) {
      if (snapshot.Thread(i).thread_id == tid) return &snapshot.Thread(i);
    }
    return nullptr;
  }

  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<Worker>> workers_;
};

TEST_F(ThreadStopTest, EveryThreadAnswersWithItsRegistersAndStack) {
  auto snapshot = std::make_unique<LinuxProcessSnapshot>();
  snapshot->PrepareSystemFacts();
  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  const uint32_t self = static_cast<uint32_t>(syscall(SYS_gettid));
  Vextra::minidump::CrashSignalFacts crash{SIGSEGV, SEGV_MAPERR, 0x9C40, self, &context};
  snapshot->Capture(crash);

  // Stopped: no worker moves until the snapshot lets go.
  std::vector<uint64_t> spins_at_capture;
  for (auto& worker : workers_) spins_at_capture.push_back(worker->spins.load());
  usleep(20000);
  for (size_t i = 0; i < workers_.size(); ++i) EXPECT_EQ(workers_[i]->spins.load(), spins_at_capture[i]);

  ASSERT_GE(snapshot->ThreadCount(), 1u + workers_.size());
  EXPECT_EQ(snapshot->Thread(0).thread_id, self);
  EXPECT_EQ(snapshot->Exception().thread_id, self);
  EXPECT_EQ(snapshot->Exception().code, static_cast<uint32_t>(SIGSEGV));
  EXPECT_EQ(snapshot->Exception().address, 0x9C40u);
  for (auto& worker : workers_) {
    SCOPED_TRACE(worker->tid.load());
    const ThreadFacts* facts = Find(*snapshot, worker->tid.load());
    ASSERT_NE(facts, nullptr);
    ASSERT_TRUE(facts->registers_known);
    const uint64_t low = reinterpret_cast<uint64_t>(worker->stack);
    EXPECT_GT(facts->registers.rsp, low);
    EXPECT_LT(facts->registers.rsp, low + kStackBytes);
    // The stack's mapping: its low end is exact (a guard page lies below);
    // a neighbouring anonymous mapping above may have merged with it.
    EXPECT_EQ(facts->stack_low, low);
    EXPECT_GE(facts->stack_high, low + kStackBytes);
    // The instruction pointer lies in this program's code, where WorkerMain runs.
    EXPECT_TRUE(facts->registers.has_fxsave);
    // The stack memory is readable through the snapshot at the stack pointer.
    uint8_t top[64];
    EXPECT_EQ(snapshot->ReadMemory(facts->registers.rsp, top, sizeof top), sizeof top);
  }
  snapshot->Release();
  for (size_t i = 0; i < workers_.size(); ++i) {
    SCOPED_TRACE(i);
    while (workers_[i]->spins.load() == spins_at_capture[i]) sched_yield();  // runs again
  }
}

TEST_F(ThreadStopTest, AThreadThatCannotAnswerIsListedWithItsIdOnly) {
  // One worker blocks the stop signal: it is listed but never answers.
  std::atomic<bool> blocked{false};
  std::atomic<uint32_t> deaf_tid{0};
  std::atomic<bool> done{false};
  std::thread deaf([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, Vextra::ThreadStopSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    deaf_tid.store(static_cast<uint32_t>(syscall(SYS_gettid)));
    blocked.store(true);
    while (!done.load()) usleep(1000);
  });
  while (!blocked.load()) sched_yield();

  auto snapshot = std::make_unique<LinuxProcessSnapshot>();
  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  Vextra::minidump::CrashSignalFacts crash{SIGABRT, SI_TKILL, 0, static_cast<uint32_t>(syscall(SYS_gettid)), &context};
  snapshot->Capture(crash, 200);
  const ThreadFacts* facts = Find(*snapshot, deaf_tid.load());
  ASSERT_NE(facts, nullptr);
  EXPECT_FALSE(facts->registers_known);
  EXPECT_EQ(facts->stack_low, 0u);
  for (auto& worker : workers_) {
    const ThreadFacts* answered = Find(*snapshot, worker->tid.load());
    ASSERT_NE(answered, nullptr);
    EXPECT_TRUE(answered->registers_known);
  }
  snapshot->Release();
  done.store(true);
  deaf.join();
}

TEST(LinuxSnapshotTest, ModulesCarryTheirBuildIdsAndStreamsRead) {
  auto snapshot = std::make_unique<LinuxProcessSnapshot>();
  snapshot->PrepareSystemFacts();
  ASSERT_TRUE(Vextra::InstallThreadStopHandler());
  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  Vextra::minidump::CrashSignalFacts crash{SIGILL, ILL_ILLOPN, 0, static_cast<uint32_t>(syscall(SYS_gettid)), &context};
  snapshot->Capture(crash);

  EXPECT_EQ(snapshot->System().os, Vextra::minidump::OsFamily::kLinux);
  EXPECT_GE(snapshot->System().cpu_count, 1u);
  EXPECT_EQ(std::strncmp(snapshot->System().version_text, "Linux ", 6), 0);

  // This program and the C library are modules, with an ELF build id each.
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  bool saw_exe = false;
  bool saw_libc = false;
  for (uint32_t i = 0; i < snapshot->ModuleCount(); ++i) {
    const auto& module = snapshot->Module(i);
    const bool is_exe = std::strcmp(module.path, exe) == 0;
    const bool is_libc = std::strstr(module.path, "/libc.so") != nullptr;
    if (!is_exe && !is_libc) continue;
    SCOPED_TRACE(module.path);
    saw_exe |= is_exe;
    saw_libc |= is_libc;
    ASSERT_GT(module.codeview_size, 4u);
    EXPECT_EQ(std::memcmp(module.codeview, "LEpB", 4), 0);  // 0x4270454c, little-endian
    // The module's span holds this function (for the executable).
    if (is_exe) {
      const uint64_t here = reinterpret_cast<uint64_t>(&WorkerMain);
      EXPECT_GE(here, module.base);
      EXPECT_LT(here, module.base + module.size);
    }
  }
  EXPECT_TRUE(saw_exe);
  EXPECT_TRUE(saw_libc);

  // The crashing thread's stack bounds hold its stack pointer.
  const auto& self = snapshot->Thread(0);
  EXPECT_GE(self.registers.rsp, self.stack_low);
  EXPECT_LT(self.registers.rsp, self.stack_high);

  // Each extra stream reads to its end, in pieces; the maps stream names this program.
  static constexpr struct {
    uint32_t type;
    const char* must_contain;
  } kStreams[] = {{0x47670003, "processor"}, {0x47670004, "Pid:"}, {0x47670005, "ID="},
                  {0x47670006, nullptr},     {0x47670008, nullptr}, {0x47670009, "[stack]"}};
  ASSERT_EQ(snapshot->ExtraStreamCount(), 6u);
  for (uint32_t i = 0; i < snapshot->ExtraStreamCount(); ++i) {
    SCOPED_TRACE(kStreams[i].type);
    EXPECT_EQ(snapshot->ExtraStream(i).stream_type, kStreams[i].type);
    std::string text;
    char piece[100];
    while (size_t got = snapshot->ReadExtraStream(i, text.size(), piece, sizeof piece)) text.append(piece, got);
    EXPECT_FALSE(text.empty());
    if (kStreams[i].must_contain != nullptr) EXPECT_NE(text.find(kStreams[i].must_contain), std::string::npos);
  }
  snapshot->Release();
}

}  // namespace
