// A game-like Linux host that loads libVextra64.so with dlopen, starts it
// against a collector and then crashes in the way a scenario names:
//   vextra_crash_host_linux <libVextra64.so> <scenario> <collector address> [argument]
// It runs in a directory of its own (the driver copies the program and the
// library there) and appends what only it can see to "host.facts" in its
// working directory, one "key value" line each: the GUID the crash callback
// received, the id of each thread about to fault, whether its own handler ran.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "crash_host_linux/crash_host_linux_timing.h"

namespace {

void* g_library = nullptr;
int g_facts = -1;

// Appends one line to host.facts with one write: usable in signal handlers.
void Fact(const char* key, const char* value) {
  if (g_facts < 0) return;
  char line[256];
  const int length = std::snprintf(line, sizeof line, "%s %s\n", key, value);
  if (length > 0) {
    ssize_t ignored = write(g_facts, line, static_cast<size_t>(length) < sizeof line ? length : sizeof line - 1);
    (void)ignored;
  }
}

void FactNumber(const char* key, unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu", value);
  Fact(key, text);
}

template <typename Fn>
Fn Export(const char* name) {
  auto address = reinterpret_cast<Fn>(dlsym(g_library, name));
  if (address == nullptr) {
    Fact("missing-export", name);
    _exit(90);
  }
  return address;
}

using BoolFn = bool (*)(bool);
using TextFn = void (*)(const char*);

void OnCrash(int32_t kind, const char* guid) {
  char text[96];
  std::snprintf(text, sizeof text, "%d %s", static_cast<int>(kind), guid != nullptr ? guid : "(null)");
  Fact("callback", text);
}

void HostSegvHandler(int, siginfo_t*, void*) {
  Fact("host-handler", "ran");
  _exit(42);
}

void Start(const char* address) {
  Export<BoolFn>("VX_ConfigDebugMode")(true);
  Export<TextFn>("VX_ConfigCrashServerUrl")(address);
  Export<uint64_t (*)(uint64_t)>("VX_SetCrashCallback")(reinterpret_cast<uint64_t>(&OnCrash));
  Export<TextFn>("VX_SetUserId")("crash-host-player");
  // Lets a caller send the same crash as two versions of the game.
  if (const char* version = std::getenv("CRASH_HOST_APP_VERSION")) Export<TextFn>("VX_SetAppVersion")(version);
  Export<TextFn>("VX_InitWithAppId")("crash-host-app");
  Fact("started", "1");
}

uint64_t Tid() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

// Whether every other thread of this process is blocked in a wait (state S
// or D in its stat line), as the library's threads are once they wait for
// work: a crash then finds them inside the library, where a debugger names
// their frames, rather than just created.
bool OtherThreadsWait() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  const std::string self = std::to_string(Tid());
  bool all_wait = true;
  while (const dirent* entry = readdir(tasks)) {
    const std::string tid = entry->d_name;
    if (tid == "." || tid == ".." || tid == self) continue;
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t name_end = line.rfind(')');
    const char state = name_end != std::string::npos && name_end + 2 < line.size() ? line[name_end + 2] : '?';
    if (state != 'S' && state != 'D') all_wait = false;
  }
  closedir(tasks);
  return all_wait;
}

// Waits (up to 10 s) until OtherThreadsWait.
void WaitForLibraryThreadsToWait() {
  for (int i = 0; i < 1000 && !OtherThreadsWait(); ++i) usleep(10 * 1000);
}

// ---- ways to crash ---------------------------------------------------------

volatile int g_zero = 0;
volatile int g_one = 1;

// Each instantiation is its own code, so threads fault at different addresses
// and only the crash lock keeps them to one dump.
template <int N>
__attribute__((noinline)) void CrashHostNullWrite() {
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x100 + N * 8)) = N;
}

__attribute__((noinline)) void CrashHostDivide() { g_zero = g_one / g_zero; }
__attribute__((noinline)) void CrashHostIllegal() { __asm__ volatile("ud2"); }

__attribute__((noinline)) int CrashHostRecurse(int depth) {
  volatile char frame[512];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return CrashHostRecurse(depth + 1) + frame[0];
}

// A file mapped beyond its end: touching the page past the end is a bus error.
__attribute__((noinline)) void CrashHostBusError() {
  const int fd = open("truncated.bin", O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, 8192) != 0) _exit(91);
  auto* mapped = static_cast<volatile char*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (mapped == MAP_FAILED || ftruncate(fd, 0) != 0) _exit(91);
  mapped[4096] = 1;
}

std::atomic<int> g_ready{0};
std::atomic<bool> g_go{false};

template <int N>
void CrashWhenReleased() {
  ++g_ready;
  while (!g_go.load()) {
  }
  FactNumber("crash-thread", Tid());
  CrashHostNullWrite<N>();
}

void BusyForever() {
  ++g_ready;
  volatile uint64_t spins = 0;
  for (;;) spins = spins + 1;
}

template <int... N>
void StartCrashers(std::vector<std::thread>& threads) {
  (threads.emplace_back(&CrashWhenReleased<N>), ...);
}

int RunScenario(const std::string& scenario, const char* address, const char* argument) {
  // The timed modes install their handler before start-up, or run without the library.
  if (scenario == "bench-fault") vextra_test::BenchFault(&Fact, &Start, &WaitForLibraryThreadsToWait, address);
  if (scenario == "bench-baseline") vextra_test::BenchBaseline(&Fact, argument, address);
  if (scenario == "not-started") {
    FactNumber("crash-thread", Tid());
    CrashHostNullWrite<0>();
  }
  if (scenario == "host-handler") {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &HostSegvHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
  }
  if (scenario == "marker") {
    // Beside the executable, within a second of loading: capture stays off.
    const int fd = open("HexaCubStat.ini", O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) close(fd);
  }
  Start(address);
  // The marker is looked for only in the first second after loading.
  if (scenario != "marker") WaitForLibraryThreadsToWait();
  if (scenario == "null-write" || scenario == "host-handler" || scenario == "marker") {
    FactNumber("crash-thread", Tid());
    CrashHostNullWrite<0>();
  } else if (scenario == "abort") {
    FactNumber("crash-thread", Tid());
    std::abort();
  } else if (scenario == "divide") {
    FactNumber("crash-thread", Tid());
    CrashHostDivide();
  } else if (scenario == "illegal") {
    FactNumber("crash-thread", Tid());
    CrashHostIllegal();
  } else if (scenario == "bus") {
    FactNumber("crash-thread", Tid());
    CrashHostBusError();
  } else if (scenario == "stack-overflow") {
    FactNumber("crash-thread", Tid());
    return CrashHostRecurse(0);
  } else if (scenario == "second-thread") {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back(&BusyForever);
    StartCrashers<1>(threads);
    while (g_ready.load() < 9) sched_yield();
    FactNumber("threads", 10);
    g_go.store(true);
    for (auto& t : threads) t.join();
  } else if (scenario == "eight-threads") {
    std::vector<std::thread> threads;
    StartCrashers<1, 2, 3, 4, 5, 6, 7, 8>(threads);
    while (g_ready.load() < 8) sched_yield();
    g_go.store(true);
    for (auto& t : threads) t.join();
  } else if (scenario == "fork-child") {
    const pid_t child = fork();
    if (child == 0) {
      FactNumber("child-crash-thread", Tid());
      CrashHostNullWrite<0>();
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) FactNumber("child-ended-by-signal", static_cast<unsigned>(WTERMSIG(status)));
    Fact("parent", "goes-on");
    return 0;
  }
  Fact("unknown-scenario", scenario.c_str());
  return 92;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <libVextra64.so> <scenario> <collector address> [argument]\n", argv[0]);
    return 2;
  }
  g_facts = open("host.facts", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  g_library = dlopen(argv[1], RTLD_NOW);
  if (g_library == nullptr) {
    Fact("dlopen-error", dlerror());
    return 90;
  }
  FactNumber("pid", static_cast<unsigned long long>(getpid()));
  return RunScenario(argv[2], argv[3], argc > 4 ? argv[4] : "");
}
