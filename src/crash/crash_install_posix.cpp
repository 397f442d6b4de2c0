#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "crash/crash_entries.h"
#include "crash/crash_install.h"
#include "crash/dump/dump_settings.h"
#include "crash/crash_platform.h"
#include "crash/exception_facts.h"
#include "crash/fork_gate.h"
#include "crash/library_threads.h"
#include "crash/prepared_crash_guid.h"
#include "crash/proc_maps.h"
#include "crash/signal_handlers_posix.h"
#include "crash/signal_record_posix.h"
#include "crash/thread_stop_posix.h"
#include "log/sdk_log.h"
#include "minidump/linux_process_snapshot.h"
#include "platform/openssl_start.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

// The actions in force before the library's, one per crash signal, written
// at installation and read by the handler without a lock.
struct sigaction g_previous[kCrashSignalCount];
std::atomic<bool> g_installed{false};

int IndexOfSignal(int signal) {
  for (size_t i = 0; i < kCrashSignalCount; ++i) {
    if (kCrashSignals[i] == signal) return static_cast<int>(i);
  }
  return -1;
}

uint32_t RawThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// What happens after the library's own work: the previous handling.
// crash path: sigaction and tgkill system calls, allocates nothing.
void ChainToPrevious(int signal, siginfo_t* info, void* context) {
  const int index = IndexOfSignal(signal);
  if (index < 0) return;
  const struct sigaction& previous = g_previous[index];
  switch (ChainStepFor(PreviousKindOf(previous))) {
    case ChainStep::kCallWithInfo:
      previous.sa_sigaction(signal, info, context);
      return;
    case ChainStep::kCallPlain:
      previous.sa_handler(signal);
      return;
    case ChainStep::kRestoreIgnoreAndReturn:
      sigaction(signal, &previous, nullptr);
      return;
    case ChainStep::kRestoreDefaultAndRaise: {
      struct sigaction default_action;
      std::memset(&default_action, 0, sizeof default_action);
      default_action.sa_handler = SIG_DFL;
      sigemptyset(&default_action.sa_mask);
      sigaction(signal, &default_action, nullptr);
      // Pending until this handler returns (the signal is blocked while it
      // runs), then delivered with the default action.
      syscall(SYS_tgkill, static_cast<long>(syscall(SYS_getpid)), static_cast<long>(RawThreadId()), signal);
      return;
    }
  }
}

// The handler of every crash signal: the same entries as the Windows build,
// in the order the system calls them there, then the previous handling.
// crash path: the entries try the crash lock; nothing is allocated before the dump is written.
void OnCrashSignal(int signal, siginfo_t* info, void* raw_context) {
  const int saved_errno = errno;
  auto* context = static_cast<ucontext_t*>(raw_context);
  bool stack_overflow = false;
  if (signal == SIGSEGV && info != nullptr && context != nullptr) {
    const uint64_t rsp = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RSP]);
    stack_overflow = IsStackOverflowFault(reinterpret_cast<uint64_t>(info->si_addr), MappingLowOf(rsp),
                                          kStackGuardBytes);
  }
  _EXCEPTION_POINTERS pointers{signal, info, context,
                               CrashCodeOfSignal(signal, info != nullptr ? info->si_code : 0, stack_overflow),
                               RawThreadId()};
  const ExceptionFacts facts = ExceptionFactsOf(&pointers);
  HcSpyVectoredExceptionHandler(facts);
  HcSpyUnhandledExceptionFilter(facts);
  ChainToPrevious(signal, info, raw_context);
  errno = saved_errno;
}

// Before the host forks: the library's TLS exchanges in other threads
// finish first (bounded), so that the child's crash report can use TLS.
void QuietBeforeFork() {
  const CrashPlatform& platform = CurrentCrashPlatform();
  WaitForForkQuiet(kForkQuietWaitMs, platform.monotonic_ms, platform.sleep_ms);
}

// A child made by fork must not report under the parent's waiting GUID, and
// the parent's other threads, with their open sections, are gone.
void RenewCrashGuidInChild() {
  ForgetForkSensitiveSections();
  platform::Guid dropped;
  TakePreparedCrashGuid(&dropped);
  PrepareCrashGuid();
}

// The library directory, found here where looking it up may allocate, so
// the crash path only copies it.
void PublishLibraryDirectoryOnce() {
  wchar_t directory[kDumpPathChars];
  if (ReadLibraryDirectory(directory) && directory[0] != L'\0') return;
  if (DirectoryPart(platform::LibraryPath().c_str(), L'/', directory)) PublishLibraryDirectory(directory);
}

// A library thread's alternate stack, given back when the thread ends.
struct LibraryThreadStack {
  void* mapping = nullptr;
  size_t bytes = 0;
  ~LibraryThreadStack() {
    if (mapping == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(mapping, bytes);
  }
};
thread_local LibraryThreadStack t_library_stack;

// Maps an alternate stack with a guard page below it and makes it the
// calling thread's; the mapping, or null.
void* MapAltStack(size_t* bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  *bytes = kCrashAltStackBytes + page;
  void* mapping = mmap(nullptr, *bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  mprotect(mapping, page, PROT_NONE);  // a guard below, so an overflow of the handler faults cleanly
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(mapping) + page;
  stack.ss_size = kCrashAltStackBytes;
  stack.ss_flags = 0;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(mapping, *bytes);
    return nullptr;
  }
  return mapping;
}

bool HasLargeAltStack() {
  stack_t current;
  return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
         current.ss_size >= kCrashAltStackBytes;
}

void PrepareLibraryThread() {
  if (HasLargeAltStack()) return;
  size_t bytes = 0;
  if (void* mapping = MapAltStack(&bytes)) {
    t_library_stack.mapping = mapping;
    t_library_stack.bytes = bytes;
  }
}

struct MappingSearch {
  uint64_t address;
  uint64_t low;
};

}  // namespace

PreviousKind PreviousKindOf(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) {
    return action.sa_sigaction != nullptr ? PreviousKind::kWithInfo : PreviousKind::kDefault;
  }
  if (action.sa_handler == SIG_IGN) return PreviousKind::kIgnore;
  if (action.sa_handler == SIG_DFL || action.sa_handler == nullptr) return PreviousKind::kDefault;
  return PreviousKind::kPlain;
}

uint64_t MappingLowOf(uint64_t address) {
  const int fd = static_cast<int>(syscall(SYS_open, "/proc/self/maps", O_RDONLY | O_CLOEXEC));
  if (fd < 0) return 0;
  char buffer[1024];
  LineSplitter lines(buffer, sizeof buffer);
  MappingSearch search{address, 0};
  auto on_line = [](const char* text, size_t length, void* context) {
    auto& found = *static_cast<MappingSearch*>(context);
    MapsEntry entry;
    // A guard page (no access) holds no stack: a stack pointer there has run off its stack.
    if (ParseMapsLine(text, length, &entry) && (entry.readable || entry.writable) && found.address >= entry.start &&
        found.address < entry.end) {
      found.low = entry.start;
    }
  };
  for (;;) {
    const long got = syscall(SYS_read, fd, lines.FreeSpace(), lines.FreeBytes());
    if (got <= 0) break;
    lines.Feed(static_cast<size_t>(got), on_line, &search);
  }
  lines.Feed(0, on_line, &search);
  syscall(SYS_close, fd);
  return search.low;
}

bool EnsureCrashAltStack() {
  if (HasLargeAltStack()) return true;
  size_t bytes = 0;
  return MapAltStack(&bytes) != nullptr;  // the starting thread keeps it for the life of the process
}

bool InstallSignalHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = &OnCrashSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  bool all = true;
  for (size_t i = 0; i < kCrashSignalCount; ++i) {
    struct sigaction previous;
    if (sigaction(kCrashSignals[i], &action, &previous) != 0) {
      LogDebug("fail to set signal handler %d errno %d\n", kCrashSignals[i], errno);
      all = false;
      continue;
    }
    // A repeated installation finds the library's own handler: the host's stays.
    const bool previous_is_ours = (previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction == &OnCrashSignal;
    if (!previous_is_ours) g_previous[i] = previous;
    LogDebug("SET SIGNAL HANDLER %d RETURN FUNC IS %p\n", kCrashSignals[i],
             (previous.sa_flags & SA_SIGINFO) ? reinterpret_cast<void*>(previous.sa_sigaction)
                                              : reinterpret_cast<void*>(previous.sa_handler));
  }
  g_installed.store(true);
  return all;
}

void RestoreSignalHandlers() {
  if (!g_installed.exchange(false)) return;
  for (size_t i = 0; i < kCrashSignalCount; ++i) {
    struct sigaction current;
    if (sigaction(kCrashSignals[i], nullptr, &current) != 0) continue;
    const bool ours = (current.sa_flags & SA_SIGINFO) && current.sa_sigaction == &OnCrashSignal;
    if (ours) sigaction(kCrashSignals[i], &g_previous[i], nullptr);
  }
}

void InstallCrashHandlers() {
  PrepareCrashGuid();
  // The upload after a dump starts TLS; a child made by fork while another
  // thread was inside that one-time start would wait for it for ever, so it
  // is done here, before the host's threads and forks.
  platform::StartOpenSsl();
  PublishLibraryDirectoryOnce();
  if (!minidump::ReserveCrashSnapshot()) LogDebug("fail to reserve the crash snapshot\n");
  if (!InstallThreadStopHandler()) LogDebug("fail to install the thread stop handler\n");
  if (!EnsureCrashAltStack()) LogDebug("fail to set the alternate signal stack %d\n", errno);
  static std::atomic<bool> fork_handler{false};
  if (!fork_handler.exchange(true)) pthread_atfork(&QuietBeforeFork, nullptr, &RenewCrashGuidInChild);
  SetLibraryThreadPreparation(&PrepareLibraryThread);
  InstallSignalHandlers();
}

void RemoveCrashHandlers() {
  RestoreSignalHandlers();
  RemoveThreadStopHandler();
}

}  // namespace Vextra
