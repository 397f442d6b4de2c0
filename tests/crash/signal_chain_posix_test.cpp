// The crash signal handlers in a child process: the handling found before
// the library's runs after it, a default action ends the process by the same
// signal, teardown gives the previous actions back, a started library writes
// one dump per crash (also when eight threads crash at once, and in a child
// made by fork), and one that is not started writes none.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/process_flags.h"
#include "crash/crash_context.h"
#include "crash/crash_decisions.h"
#include "crash/crash_dump_sink.h"
#include "crash/crash_install.h"
#include "crash/crash_platform.h"
#include "crash/ignored_modules.h"
#include "crash/library_threads.h"
#include "crash/send_exception.h"
#include "crash/signal_handlers_posix.h"
#include "crash/signal_record_posix.h"

namespace {

// Present only in a sanitized build: where its reports go.
extern "C" void __sanitizer_set_report_path(const char* path) __attribute__((weak));

// Written by the child, read by the parent: one line per event.
int g_report_fd = -1;

void Report(const char* text) {
  if (g_report_fd >= 0) {
    ssize_t ignored = write(g_report_fd, text, std::strlen(text));
    (void)ignored;
  }
}

void HostPlainHandler(int) {
  Report("host-plain\n");
  _exit(42);
}
void HostInfoHandler(int signal, siginfo_t* info, void*) {
  char line[64];
  std::snprintf(line, sizeof line, "host-info %d %d\n", signal, info != nullptr ? info->si_signo : -1);
  Report(line);
  _exit(43);
}

// The dump side of the send step, recording what it was handed.
bool RecordDumpDir(wchar_t (&out)[260]) {
  out[0] = L'\0';
  return true;
}
void RecordDump(_EXCEPTION_POINTERS* pointers, wchar_t (&path)[260]) {
  char line[96];
  std::snprintf(line, sizeof line, "dump %d %u %u\n", pointers->signal, pointers->thread_id, pointers->code);
  Report(line);
  path[0] = L'\0';
}
int32_t RecordUpload(const wchar_t*, const char*, int32_t kind, bool) {
  char line[32];
  std::snprintf(line, sizeof line, "upload %d\n", kind);
  Report(line);
  return 200;
}
const Vextra::CrashDumpSink kRecordingSink{&RecordDumpDir, &RecordDump, &RecordUpload, nullptr};

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;
volatile int g_one = 1;  // a known numerator would let the compiler drop the division

// The faults are made in assembly: a sanitizer would stop at the C++ forms first.
void NullWrite() { __asm__ volatile("movl $5, (%0)" : : "r"(reinterpret_cast<uintptr_t>(g_null)) : "memory"); }
void DivideByZero() {
  int numerator = g_one;
  int divisor = g_zero;
  __asm__ volatile("cltd\n\tidivl %1" : "+a"(numerator) : "r"(divisor) : "rdx");
  g_zero = numerator;
}

struct ChildResult {
  int status = 0;
  std::string report;
};

// Runs body in a child with the report pipe open; the child's way of ending
// and everything it reported.
template <typename Body>
ChildResult RunChild(Body body) {
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    g_report_fd = pipe_fds[1];
    alarm(30);  // a child caught in a loop of faults ends by SIGALRM instead of hanging the test
    // A sanitizer's handler, chained after the library's, reports each crash
    // made here on purpose: to the child's error output, not to the report
    // files that count as findings.
    if (&__sanitizer_set_report_path != nullptr) __sanitizer_set_report_path("stderr");
    body();
    _exit(0);
  }
  close(pipe_fds[1]);
  ChildResult result;
  char buffer[512];
  ssize_t got;
  while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.report.append(buffer, static_cast<size_t>(got));
  close(pipe_fds[0]);
  waitpid(child, &result.status, 0);
  return result;
}

// How a child crashed by signal ended after the library's work: by the
// signal itself when its action was the default, or, under a sanitizer that
// installed its own handler first, by that handler's exit with an error.
void ExpectEndedBy(int status, int signal) {
  struct sigaction current;
  sigaction(signal, nullptr, &current);
  const bool default_before = !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
  if (default_before) {
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), signal);
  } else {
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_NE(WEXITSTATUS(status), 0);
  }
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A fresh crash context (tests before may have left theirs switched off),
// the real platform calls, and a library marked as started.
void FreshContext() {
  Vextra::testing_hooks::SetCrashPlatformForTesting(nullptr);
  Vextra::CHcSpyGlobal::Instance().ResetForTesting(static_cast<int64_t>(time(nullptr)) - 10);
}

void StartedLibrary() {
  FreshContext();
  Vextra::MarkInitialized();
  Vextra::testing_hooks::SetCrashDumpSinkForTesting(&kRecordingSink);
  Vextra::InstallCrashHandlers();
}

TEST(SignalChainTest, PreviousHandlingRunsAfterTheLibrarys) {
  enum class Prior { kDefault, kPlain, kInfo, kIgnore };
  static constexpr struct {
    const char* name;
    Prior prior;
    int crash;  // 0 null write, 1 abort, 2 division by zero, 3 SIGSEGV sent with kill
    bool by_signal;
    int expected;  // the exit status, or the signal that ended the child
    const char* host_saw;
  } kCases[] = {
      {"no handler before: ends by SIGSEGV", Prior::kDefault, 0, true, SIGSEGV, ""},
      {"abort with no handler: ends by SIGABRT", Prior::kDefault, 1, true, SIGABRT, ""},
      {"division by zero: ends by SIGFPE", Prior::kDefault, 2, true, SIGFPE, ""},
      {"SIGSEGV sent with kill, no handler: ends by it", Prior::kDefault, 3, true, SIGSEGV, ""},
      {"plain handler before", Prior::kPlain, 0, false, 42, "host-plain\n"},
      {"handler with info before", Prior::kInfo, 0, false, 43, "host-info 11 11\n"},
      {"ignored before, signal sent: stays ignored", Prior::kIgnore, 3, false, 7, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ChildResult result = RunChild([&] {
      struct sigaction prior;
      std::memset(&prior, 0, sizeof prior);
      sigemptyset(&prior.sa_mask);
      const int signal = c.crash == 1 ? SIGABRT : c.crash == 2 ? SIGFPE : SIGSEGV;
      if (c.prior == Prior::kPlain) prior.sa_handler = &HostPlainHandler;
      if (c.prior == Prior::kInfo) {
        prior.sa_sigaction = &HostInfoHandler;
        prior.sa_flags = SA_SIGINFO;
      }
      if (c.prior == Prior::kIgnore) prior.sa_handler = SIG_IGN;
      if (c.prior != Prior::kDefault) sigaction(signal, &prior, nullptr);
      StartedLibrary();
      switch (c.crash) {
        case 0: NullWrite(); break;
        case 1: std::abort();
        case 2: DivideByZero(); break;
        case 3: kill(getpid(), SIGSEGV); break;
      }
      _exit(7);
    });
    if (c.by_signal) {
      ExpectEndedBy(result.status, c.expected);
    } else {
      ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
      EXPECT_EQ(WEXITSTATUS(result.status), c.expected);
    }
    // The library's dump came first, once, and the host's handler after it.
    EXPECT_EQ(Count(result.report, "dump "), 1) << result.report;
    EXPECT_EQ(Count(result.report, "upload 2\n"), 1) << result.report;
    const size_t host_at = result.report.find("host-");
    if (*c.host_saw != '\0') {
      EXPECT_NE(result.report.find(c.host_saw), std::string::npos) << result.report;
      EXPECT_GT(host_at, result.report.find("upload 2\n"));
    } else {
      EXPECT_EQ(host_at, std::string::npos);
    }
  }
}

TEST(SignalChainTest, DumpCarriesTheSignalAndItsCode) {
  static constexpr struct {
    int crash;
    const char* line_start;
  } kCases[] = {{0, "dump 11 "}, {1, "dump 6 "}, {2, "dump 8 "}};
  static constexpr const char* kCodes[] = {" 3221225477\n", " 1073741845\n", " 3221225620\n"};  // 0xC0000005, 0x40000015, 0xC0000094
  for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    SCOPED_TRACE(kCases[i].line_start);
    ChildResult result = RunChild([&] {
      StartedLibrary();
      if (kCases[i].crash == 0) NullWrite();
      if (kCases[i].crash == 1) std::abort();
      if (kCases[i].crash == 2) DivideByZero();
    });
    EXPECT_NE(result.report.find(kCases[i].line_start), std::string::npos) << result.report;
    EXPECT_NE(result.report.find(kCodes[i]), std::string::npos) << result.report;
  }
}

TEST(SignalChainTest, NotStartedOrSwitchedOffWritesNothingAndEndsAsBefore) {
  static constexpr struct {
    const char* name;
    bool initialised;
    bool capture_off;
    bool fault_in_ignored_module;
  } kCases[] = {{"not started", false, false, false},
                {"capture switched off", true, true, false},
                {"fault in a module on the ignore list", true, false, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ChildResult result = RunChild([&] {
      FreshContext();
      Vextra::testing_hooks::ResetInitializedForTesting();
      if (c.initialised) Vextra::MarkInitialized();
      Vextra::testing_hooks::SetCrashDumpSinkForTesting(&kRecordingSink);
      Vextra::InstallCrashHandlers();
      if (c.capture_off) Vextra::CHcSpyGlobal::Instance().enabled.store(0);
      if (c.fault_in_ignored_module) {
        // This test program (where NullWrite lies), named as the ignore list
        // names modules: its base name, in any case.
        char exe[4096] = {};
        if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) _exit(95);
        std::string name = std::strrchr(exe, '/') + 1;
        for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        Vextra::IgnoredDllNames().Replace({name});
      }
      NullWrite();
    });
    ExpectEndedBy(result.status, SIGSEGV);
    EXPECT_EQ(result.report, "");
  }
}

TEST(SignalChainTest, TeardownGivesThePreviousActionsBack) {
  ChildResult result = RunChild([] {
    struct sigaction prior;
    std::memset(&prior, 0, sizeof prior);
    prior.sa_handler = &HostPlainHandler;
    sigaction(SIGBUS, &prior, nullptr);
    struct sigaction segv_before;
    std::memset(&segv_before, 0, sizeof segv_before);
    segv_before.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &segv_before, nullptr);
    Vextra::InstallCrashHandlers();
    Vextra::InstallCrashHandlers();  // again: the host's handler stays the one kept
    struct sigaction during;
    sigaction(SIGBUS, nullptr, &during);
    if ((during.sa_flags & SA_SIGINFO) && (during.sa_flags & SA_ONSTACK)) Report("ours-installed\n");
    Vextra::RemoveCrashHandlers();
    struct sigaction after;
    sigaction(SIGBUS, nullptr, &after);
    if (after.sa_handler == &HostPlainHandler) Report("host-back\n");
    struct sigaction segv;
    sigaction(SIGSEGV, nullptr, &segv);
    if (!(segv.sa_flags & SA_SIGINFO) && segv.sa_handler == SIG_DFL) Report("default-back\n");
  });
  EXPECT_EQ(result.report, "ours-installed\nhost-back\ndefault-back\n");
}

__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return Recurse(depth + 1) + frame[0];
}

TEST(SignalChainTest, StackOverflowOnALibraryThreadIsCaptured) {
  static constexpr struct {
    const char* name;
    bool library_thread;  // prepared as the library prepares the threads it starts
  } kCases[] = {{"a thread the library started", true}, {"a host thread (no alternate stack unless a sanitizer gave one)", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ChildResult result = RunChild([&] {
      StartedLibrary();
      std::thread overflow([&] {
        if (c.library_thread) Vextra::PrepareLibraryThreadForCrashes();
        // A sanitizer gives every thread an alternate stack of its own.
        stack_t current;
        if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) Report("alt-stack\n");
        Recurse(0);
      });
      overflow.join();
    });
    ExpectEndedBy(result.status, SIGSEGV);
    // Captured exactly when the thread had an alternate stack to handle it on.
    const bool had_alt_stack = Count(result.report, "alt-stack\n") == 1;
    if (c.library_thread) EXPECT_TRUE(had_alt_stack) << result.report;
    const int dumps = had_alt_stack ? 1 : 0;
    // The code of a stack overflow, 0xC00000FD.
    EXPECT_EQ(Count(result.report, " 3221225725\n"), dumps) << result.report;
    EXPECT_EQ(Count(result.report, "upload 2\n"), dumps) << result.report;
  }
}

TEST(SignalChainTest, EightThreadsCrashingAtOnceGiveOneDump) {
  ChildResult result = RunChild([] {
    StartedLibrary();
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        ready.fetch_add(1);
        while (!go.load()) {
        }
        NullWrite();
      });
    }
    while (ready.load() < 8) sched_yield();
    go.store(true);
    for (auto& t : threads) t.join();
  });
  ExpectEndedBy(result.status, SIGSEGV);
  EXPECT_EQ(Count(result.report, "dump 11 "), 1) << result.report;
  EXPECT_EQ(Count(result.report, "upload 2\n"), 1) << result.report;
}

TEST(SignalChainTest, ForkedChildReportsItsOwnCrashAndTheParentGoesOn) {
  ChildResult result = RunChild([] {
    StartedLibrary();
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      char line[64];
      std::snprintf(line, sizeof line, "child %ld\n", static_cast<long>(syscall(SYS_gettid)));
      Report(line);
      NullWrite();
    }
    int status = 0;
    waitpid(grandchild, &status, 0);
    // Ended by SIGSEGV, or by a sanitizer's handler chained after the library's.
    if ((WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) {
      Report("parent-saw-segv\n");
    }
    Report("parent-goes-on\n");
  });
  ASSERT_TRUE(WIFEXITED(result.status));
  EXPECT_EQ(WEXITSTATUS(result.status), 0);
  // The dump names the forked child's own thread.
  const size_t at = result.report.find("child ");
  ASSERT_NE(at, std::string::npos) << result.report;
  const std::string tid = result.report.substr(at + 6, result.report.find('\n', at) - at - 6);
  EXPECT_NE(result.report.find("dump 11 " + tid + " "), std::string::npos) << result.report;
  EXPECT_EQ(Count(result.report, "upload 2\n"), 1);
  EXPECT_NE(result.report.find("parent-saw-segv\nparent-goes-on\n"), std::string::npos) << result.report;
}

}  // namespace
