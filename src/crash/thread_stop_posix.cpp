#include "crash/thread_stop_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace Vextra {
namespace {

// Idle -> asked (by the crashing thread) -> copying (the thread took its
// slot) -> answered (its registers are in place).
enum SlotState : int { kSlotIdle = 0, kSlotAsked = 1, kSlotCopying = 2, kSlotAnswered = 3 };

// The slots the stop handler answers in, one per listed thread; reserved with
// the library, so answering allocates nothing.
struct StopSlot {
  std::atomic<uint32_t> thread_id{0};
  std::atomic<int> state{kSlotIdle};
};
StopSlot g_slots[kMaxDumpThreads];
std::atomic<uint32_t> g_slot_count{0};
// Where answers go: the crashing thread's ThreadFacts array, set before any
// thread is asked.
std::atomic<minidump::ThreadFacts*> g_answers{nullptr};
// Bumped by ResumeStoppedThreads; stopped threads wait while it is unchanged.
std::atomic<int> g_generation{0};

std::atomic<int> g_stop_signal{0};
struct sigaction g_previous_action;

long RawTgkill(pid_t pid, pid_t tid, int signal) { return syscall(SYS_tgkill, pid, tid, signal); }

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepOneMs() {
  timespec wait{0, 1000000L};
  nanosleep(&wait, nullptr);
}

void FutexWait(std::atomic<int>* word, int expected, uint32_t timeout_ms) {
  timespec timeout{static_cast<time_t>(timeout_ms / 1000u), static_cast<long>(timeout_ms % 1000u) * 1000000L};
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr, 0);
}

void FutexWakeAll(std::atomic<int>* word) {
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}

// The stop signal's handler, on every thread but the crashing one.
void OnStopSignal(int, siginfo_t*, void* raw_context) {
  const int saved_errno = errno;
  const uint32_t self = static_cast<uint32_t>(syscall(SYS_gettid));
  const int generation = g_generation.load(std::memory_order_acquire);
  const uint32_t count = g_slot_count.load(std::memory_order_acquire);
  minidump::ThreadFacts* answers = g_answers.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < count && answers != nullptr; ++i) {
    if (g_slots[i].thread_id.load(std::memory_order_acquire) != self) continue;
    int asked = kSlotAsked;
    if (!g_slots[i].state.compare_exchange_strong(asked, kSlotCopying, std::memory_order_acq_rel)) break;
    // The slot is ours from here; the crashing thread reads it after the
    // release store below.
    RegistersFromContext(*static_cast<const ucontext_t*>(raw_context), &answers[i].registers);
    answers[i].registers_known = true;
    g_slots[i].state.store(kSlotAnswered, std::memory_order_release);
    const uint64_t deadline = MonotonicMs() + kStoppedThreadMaxWaitMs;
    while (g_generation.load(std::memory_order_acquire) == generation) {
      const uint64_t now = MonotonicMs();
      if (now >= deadline) break;
      FutexWait(&g_generation, generation, static_cast<uint32_t>(deadline - now));
    }
    break;
  }
  errno = saved_errno;
}

// Lists thread ids from /proc/self/task with getdents64, offering each to add.
struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

uint32_t ParseTid(const char* name) {
  uint32_t value = 0;
  if (*name == '\0') return 0;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(*name - '0');
  }
  return value;
}

}  // namespace

void RegistersFromContext(const ucontext_t& context, minidump::Amd64Registers* out) {
  const greg_t* g = context.uc_mcontext.gregs;
  out->rax = static_cast<uint64_t>(g[REG_RAX]);
  out->rbx = static_cast<uint64_t>(g[REG_RBX]);
  out->rcx = static_cast<uint64_t>(g[REG_RCX]);
  out->rdx = static_cast<uint64_t>(g[REG_RDX]);
  out->rsi = static_cast<uint64_t>(g[REG_RSI]);
  out->rdi = static_cast<uint64_t>(g[REG_RDI]);
  out->rbp = static_cast<uint64_t>(g[REG_RBP]);
  out->rsp = static_cast<uint64_t>(g[REG_RSP]);
  out->r8 = static_cast<uint64_t>(g[REG_R8]);
  out->r9 = static_cast<uint64_t>(g[REG_R9]);
  out->r10 = static_cast<uint64_t>(g[REG_R10]);
  out->r11 = static_cast<uint64_t>(g[REG_R11]);
  out->r12 = static_cast<uint64_t>(g[REG_R12]);
  out->r13 = static_cast<uint64_t>(g[REG_R13]);
  out->r14 = static_cast<uint64_t>(g[REG_R14]);
  out->r15 = static_cast<uint64_t>(g[REG_R15]);
  out->rip = static_cast<uint64_t>(g[REG_RIP]);
  out->eflags = static_cast<uint32_t>(g[REG_EFL]);
  // cs, gs and fs packed in 16 bits each; the data segments are flat on x86-64.
  const uint64_t segments = static_cast<uint64_t>(g[REG_CSGSFS]);
  out->cs = static_cast<uint16_t>(segments & 0xffff);
  out->gs = static_cast<uint16_t>((segments >> 16) & 0xffff);
  out->fs = static_cast<uint16_t>((segments >> 32) & 0xffff);
  out->ds = out->es = 0;
  out->ss = static_cast<uint16_t>((segments >> 48) & 0xffff);
  if (context.uc_mcontext.fpregs != nullptr) {
    static_assert(sizeof(*context.uc_mcontext.fpregs) == sizeof out->fxsave, "the kernel saves the FXSAVE layout");
    std::memcpy(out->fxsave, context.uc_mcontext.fpregs, sizeof out->fxsave);
    out->mxcsr = context.uc_mcontext.fpregs->mxcsr;
    out->has_fxsave = true;
  } else {
    std::memset(out->fxsave, 0, sizeof out->fxsave);
    out->mxcsr = 0;
    out->has_fxsave = false;
  }
}

bool InstallThreadStopHandler() {
  if (g_stop_signal.load() != 0) return true;
  // Above the range the threading library keeps for itself.
  const int signal = SIGRTMIN + 6;
  if (signal > SIGRTMAX) return false;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = &OnStopSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigfillset(&action.sa_mask);
  if (sigaction(signal, &action, &g_previous_action) != 0) return false;
  g_stop_signal.store(signal);
  return true;
}

void RemoveThreadStopHandler() {
  const int signal = g_stop_signal.exchange(0);
  if (signal != 0) sigaction(signal, &g_previous_action, nullptr);
}

int ThreadStopSignal() { return g_stop_signal.load(); }

uint32_t StopOtherThreads(uint32_t self, minidump::ThreadFacts* threads, uint32_t capacity, uint32_t wait_ms) {
  if (capacity > kMaxDumpThreads) capacity = kMaxDumpThreads;
  const int signal = g_stop_signal.load(std::memory_order_acquire);
  const pid_t pid = static_cast<pid_t>(syscall(SYS_getpid));
  g_slot_count.store(0, std::memory_order_release);
  g_answers.store(threads, std::memory_order_release);

  uint32_t count = 0;
  const int directory = static_cast<int>(syscall(SYS_open, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory >= 0) {
    alignas(8) char buffer[4096];
    for (;;) {
      const long got = syscall(SYS_getdents64, directory, buffer, sizeof buffer);
      if (got <= 0) break;
      for (long at = 0; at < got;) {
        const LinuxDirent64* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
        at += entry->d_reclen;
        const uint32_t tid = ParseTid(entry->d_name);
        if (tid == 0 || tid == self || count >= capacity) continue;
        minidump::ThreadFacts& facts = threads[count];
        std::memset(&facts, 0, sizeof facts);
        facts.thread_id = tid;
        g_slots[count].state.store(kSlotAsked, std::memory_order_relaxed);
        g_slots[count].thread_id.store(tid, std::memory_order_release);
        ++count;
      }
    }
    syscall(SYS_close, directory);
  }
  g_slot_count.store(count, std::memory_order_release);

  // Ask every listed thread; one that is gone already answers nothing.
  for (uint32_t i = 0; i < count && signal != 0; ++i) {
    RawTgkill(pid, static_cast<pid_t>(threads[i].thread_id), signal);
  }
  const uint64_t deadline = MonotonicMs() + wait_ms;
  for (;;) {
    uint32_t answered = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (g_slots[i].state.load(std::memory_order_acquire) == kSlotAnswered) ++answered;
    }
    if (answered == count || signal == 0 || MonotonicMs() >= deadline) break;
    SleepOneMs();
  }
  // A thread that answers after this finds its slot closed and goes on.
  for (uint32_t i = 0; i < count; ++i) {
    int asked = kSlotAsked;
    g_slots[i].state.compare_exchange_strong(asked, kSlotIdle, std::memory_order_acq_rel);
    if (g_slots[i].state.load(std::memory_order_acquire) != kSlotAnswered) threads[i].registers_known = false;
  }
  return count;
}

void ResumeStoppedThreads() {
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  FutexWakeAll(&g_generation);
  g_slot_count.store(0, std::memory_order_release);
}

}  // namespace Vextra
