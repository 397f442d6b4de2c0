// A host for the dump-writer fallback: loads Vextra64.dll with LoadLibrary,
// starts it against a collector and crashes in the way a scenario names:
//   vextra_fallback_host <Vextra64.dll> <scenario> <collector address>
// Unlike the other crash host it never links dbghelp.dll, so it still starts
// when that library is disabled or replaced. What only it sees goes into
// "host.facts" beside itself: the faulting threads and the callback's GUID.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "crash_host/crash_host_protocol.h"

namespace {

HMODULE g_library = nullptr;
HANDLE g_facts = INVALID_HANDLE_VALUE;

// Appends one line to host.facts; usable on a faulting thread (no heap).
void Fact(const char* key, const char* value) {
  if (g_facts == INVALID_HANDLE_VALUE) return;
  char line[256];
  const int length = std::snprintf(line, sizeof line, "%s %s\r\n", key, value);
  if (length <= 0 || length >= static_cast<int>(sizeof line)) return;
  static SRWLOCK lock = SRWLOCK_INIT;  // appends from several threads overwrite each other under Wine
  AcquireSRWLockExclusive(&lock);
  DWORD written = 0;
  WriteFile(g_facts, line, static_cast<DWORD>(length), &written, nullptr);
  ReleaseSRWLockExclusive(&lock);
}

void FactThread() {
  char text[32];
  std::snprintf(text, sizeof text, "%lu", GetCurrentThreadId());
  Fact("crash-thread", text);
}

void OpenFacts() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  dir = dir.substr(0, dir.find_last_of('\\'));
  g_facts = CreateFileA((dir + "\\" + vextra_test::kFactsFileName).c_str(), FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

template <typename Fn>
Fn Export(const char* name) {
  auto address = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_library, name)));
  if (address == nullptr) {
    Fact("missing-export", name);
    ExitProcess(vextra_test::kHostSetupFailed);
  }
  return address;
}

void OnCrash(int32_t kind, const char* guid) {
  char text[64];
  std::snprintf(text, sizeof text, "%d %s", static_cast<int>(kind), guid != nullptr ? guid : "(null)");
  Fact("callback", text);
}

void Start(const char* dll, const char* address) {
  g_library = LoadLibraryA(dll);
  if (g_library == nullptr) ExitProcess(vextra_test::kHostSetupFailed);
  Export<bool (*)(bool)>("VX_ConfigDebugMode")(true);
  Export<void (*)(const char*)>("VX_ConfigCrashServerUrl")(address);
  Export<uint64_t (*)(uint64_t)>("VX_SetCrashCallback")(reinterpret_cast<uint64_t>(&OnCrash));
  Export<void (*)(const char*)>("VX_SetUserId")("fallback-host-player");
  Export<void (*)(const char*)>("VX_InitWithAppId")("fallback-host-app");
  Export<bool (*)(int32_t, const char*, const char*, ...)>("PrintLog")(2, "Host", "%s", vextra_test::kRingMarker);
}

// A frame of the host's own under the library's faulting frame.
__attribute__((noinline)) void HostFrameCallingTheLibrary() {
  FactThread();
  Export<void (*)()>("VX_TestNativeCrash")();
}

template <int N>
__attribute__((noinline)) void FaultAt() {
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x100 + N * 8)) = N;
}

HANDLE g_go = nullptr;
std::atomic<int> g_ready{0};

template <int N>
DWORD WINAPI CrashWhenReleased(LPVOID) {
  ++g_ready;
  WaitForSingleObject(g_go, INFINITE);
  FactThread();
  FaultAt<N>();
  return 0;
}

__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return Recurse(depth + 1) + frame[0];
}

int Run(const std::string& scenario) {
  if (scenario == "native-crash") {
    HostFrameCallingTheLibrary();
  } else if (scenario == "eight-threads") {
    g_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LPTHREAD_START_ROUTINE routines[] = {CrashWhenReleased<0>, CrashWhenReleased<1>, CrashWhenReleased<2>,
                                         CrashWhenReleased<3>, CrashWhenReleased<4>, CrashWhenReleased<5>,
                                         CrashWhenReleased<6>, CrashWhenReleased<7>};
    for (auto routine : routines) CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
    while (g_ready < 8) Sleep(1);  // released together once every thread runs
    SetEvent(g_go);
    Sleep(INFINITE);
  } else if (scenario == "stack-overflow") {
    FactThread();
    return Recurse(0);
  }
  return vextra_test::kHostSetupFailed;  // an unknown scenario, or a crash that did not happen
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <Vextra64.dll> <scenario> <collector address>\n", argv[0]);
    return 2;
  }
  OpenFacts();
  Start(argv[1], argv[3]);
  return Run(argv[2]);
}
