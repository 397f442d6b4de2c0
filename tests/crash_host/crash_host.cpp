// A game-like host that loads Vextra64.dll with LoadLibrary, starts it against
// a collector and then crashes (or does not) in the way a scenario names:
//   vextra_crash_host <Vextra64.dll> <scenario> <collector address> [argument]
// It runs in a directory of its own (the driver copies the program, the DLL
// and vextra_crash_module.dll there) and writes what only it can see into
// "host.facts" beside itself, one "key value" line each: the GUID the crash
// callback received, the id of the faulting thread, which of its own filters
// ran, what SetUnhandledExceptionFilter returned. A crashing host ends with
// its exception code, or with kResumedExitCode when its own filter resumed it.

#include <windows.h>

#include <dbghelp.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crash_host/crash_host_protocol.h"
#include "crash_host/crash_host_timing.h"
#include "vextra.h"

namespace {

using vextra_test::kResumedExitCode;

HMODULE g_library = nullptr;
HANDLE g_facts = INVALID_HANDLE_VALUE;

// Appends one line to host.facts; usable inside exception filters (no heap).
void Fact(const char* key, const char* value) {
  if (g_facts == INVALID_HANDLE_VALUE) return;
  char line[512];
  const int length = std::snprintf(line, sizeof line, "%s %s\r\n", key, value);
  if (length <= 0) return;
  // One writer at a time: appends from several threads at once can overwrite
  // each other under Wine.
  static SRWLOCK lock = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&lock);
  DWORD written = 0;
  WriteFile(g_facts, line, static_cast<DWORD>(length < static_cast<int>(sizeof line) ? length : sizeof line - 1),
            &written, nullptr);
  ReleaseSRWLockExclusive(&lock);
}

void FactNumber(const char* key, unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu", value);
  Fact(key, text);
}

std::string ExecutableDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of('\\'));
}

void OpenFacts() {
  const std::string path = ExecutableDirectory() + "\\" + vextra_test::kFactsFileName;
  g_facts = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
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

using BoolFn = bool (*)(bool);
using TextFn = void (*)(const char*);
using ValueFn = void (*)(const char*, const char*);
using PrintLogFn = bool (*)(int32_t, const char*, const char*, ...);

// ---- the host's own handlers -------------------------------------------------

[[noreturn]] void ExitResumed() { ExitProcess(kResumedExitCode); }

// Resumes the faulting thread in ExitResumed on a fresh part of its stack, so
// the process ends with kResumedExitCode: proof that this filter's answer
// decided what happened after the library's processing.
LONG ResumeInExit(EXCEPTION_POINTERS* pointers) {
  CONTEXT* context = pointers->ContextRecord;
  context->Rsp = ((context->Rsp - 0x4000) & ~static_cast<DWORD64>(15)) - 8;
  context->Rip = reinterpret_cast<DWORD64>(&ExitResumed);
  return EXCEPTION_CONTINUE_EXECUTION;
}

LONG WINAPI FilterSetBeforeStart(EXCEPTION_POINTERS* pointers) {
  Fact("host-filter", "before-start");
  return ResumeInExit(pointers);
}

LONG WINAPI FilterSetAfterStart(EXCEPTION_POINTERS* pointers) {
  Fact("host-filter", "after-start");
  return ResumeInExit(pointers);
}

// A host filter that leaves the crash to the system.
LONG WINAPI FilterContinueSearch(EXCEPTION_POINTERS*) {
  Fact("host-filter", "continue-search");
  return EXCEPTION_CONTINUE_SEARCH;
}

void OnCrash(int32_t kind, const char* guid) {
  char text[128];
  std::snprintf(text, sizeof text, "%d %s", static_cast<int>(kind), guid != nullptr ? guid : "(null)");
  Fact("callback", text);
}

// ---- start-up ----------------------------------------------------------------

struct StartOptions {
  bool debug_log = true;
  bool veh = false;
  bool uploads = true;
};

void LoadLibraryOnly(const char* dll_path) {
  g_library = LoadLibraryA(dll_path);
  if (g_library == nullptr) {
    FactNumber("loadlibrary-error", GetLastError());
    ExitProcess(vextra_test::kHostSetupFailed);
  }
}

void Start(const char* address, const StartOptions& options) {
  if (options.debug_log) Export<BoolFn>("VX_ConfigDebugMode")(true);
  Export<TextFn>("VX_ConfigCrashServerUrl")(address);
  Export<uint64_t (*)(uint64_t)>("VX_SetCrashCallback")(reinterpret_cast<uint64_t>(&OnCrash));
  if (options.veh) Export<BoolFn>("VX_SetVehEnable")(true);
  if (!options.uploads) Export<void (*)(bool)>("VX_SetCrashUploadEnable")(false);
  Export<TextFn>("VX_SetUserId")("crash-host-player");
  Export<TextFn>("VX_InitWithAppId")("crash-host-app");
  // A line in the ring, which travels with every report.
  Export<PrintLogFn>("PrintLog")(2, "Host", "%s", vextra_test::kRingMarker);
  Fact("started", "1");
}

// ---- ways to crash ---------------------------------------------------------

void CrashHere() {
  FactNumber("crash-thread", GetCurrentThreadId());
  Export<void (*)()>("VX_TestNativeCrash")();
}

// Each instantiation is its own code, so eight threads fault at eight
// different exception addresses and only the crash lock keeps them to one dump.
template <int N>
__attribute__((noinline)) void FaultAt() {
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x100 + N * 8)) = N;
}

__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return Recurse(depth + 1) + frame[0];
}

// In msvc_seh_overflow.cpp, built with the MSVC ABI.
extern "C" int CatchOwnOverflow();

DWORD WINAPI CatchOwnOverflowThread(LPVOID) {
  FactNumber("crash-thread", GetCurrentThreadId());
  const int caught = CatchOwnOverflow();
  FactNumber("seh-caught", static_cast<unsigned>(caught));
  return caught == 1 ? 7 : 8;
}

HANDLE g_go = nullptr;

std::atomic<int> g_ready{0};

template <int N>
DWORD WINAPI CrashWhenReleased(LPVOID) {
  ++g_ready;
  WaitForSingleObject(g_go, INFINITE);
  FactNumber("crash-thread", GetCurrentThreadId());
  FaultAt<N>();
  return 0;
}

DWORD WINAPI HammerLogAndValues(LPVOID) {
  auto print_log = Export<PrintLogFn>("PrintLog");
  auto set_value = Export<ValueFn>("VX_SetUserValue");
  char value[32];
  for (unsigned i = 0;; ++i) {
    print_log(2, "Busy", "line %u", i);
    std::snprintf(value, sizeof value, "%u", i);
    set_value(i % 2 ? "busy-odd" : "busy-even", value);
  }
  return 0;
}

// A thread held inside IsBadReadPtr: the host's own first vectored handler
// stops it at the probe's access violation, so the probe never ends.
DWORD g_probe_thread = 0;
HANDLE g_inside_probe = nullptr;

LONG WINAPI HoldProbeThread(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() == g_probe_thread &&
      pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
    SetEvent(g_inside_probe);
    Sleep(INFINITE);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI ProbeForever(LPVOID) {
  for (;;) IsBadReadPtr(reinterpret_cast<const void*>(static_cast<uintptr_t>(0x40)), 16);
  return 0;
}

// The C runtime an MSVC-built game uses; its checked functions and _purecall
// call the handlers set in it.
FARPROC CrtExport(const char* name) {
  HMODULE crt = LoadLibraryA("ucrtbase.dll");
  return crt != nullptr ? GetProcAddress(crt, name) : nullptr;
}

// ---- scenarios --------------------------------------------------------------

int Run(const std::string& scenario, const char* dll, const char* address, const char* argument) {
  if (scenario == "native-crash") {
    SetUnhandledExceptionFilter(FilterSetBeforeStart);
    LoadLibraryOnly(dll);
    Start(address, {});
    CrashHere();
  } else if (scenario == "filter-after-start" || scenario == "filter-null-after-start") {
    SetUnhandledExceptionFilter(FilterSetBeforeStart);
    LoadLibraryOnly(dll);
    Start(address, {});
    LPTOP_LEVEL_EXCEPTION_FILTER wanted = scenario == "filter-null-after-start" ? nullptr : FilterSetAfterStart;
    LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(wanted);
    Fact("previous-is-before-start-filter", previous == FilterSetBeforeStart ? "1" : "0");
    LPTOP_LEVEL_EXCEPTION_FILTER again = SetUnhandledExceptionFilter(wanted);
    Fact("second-call-returns-first-argument", again == wanted ? "1" : "0");
    CrashHere();
  } else if (scenario == "veh-unhandled") {
    LoadLibraryOnly(dll);
    Start(address, {true, true});
    CrashHere();
  } else if (scenario == "veh-caught-cpp") {
    LoadLibraryOnly(dll);
    Start(address, {true, true});
    int caught = 0;
    for (int i = 1; i <= 20; ++i) {
      try {
        throw i;
      } catch (int value) {
        caught += value == i;
      }
    }
    FactNumber("caught", caught);
    return 0;
  } else if (scenario == "veh-report-crash") {
    LoadLibraryOnly(dll);
    Start(address, {true, true});
    FactNumber("crash-thread", GetCurrentThreadId());
    Export<void (*)()>("VX_ReportCrash")();
    Fact("first-report-returned", "1");
    Export<void (*)()>("VxReportCrash")();
    Fact("second-report-returned", "1");
    return 0;
  } else if (scenario == "badptr") {
    LoadLibraryOnly(dll);
    Start(address, {});
    g_inside_probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    AddVectoredExceptionHandler(1, HoldProbeThread);
    HANDLE probe = CreateThread(nullptr, 0, ProbeForever, nullptr, CREATE_SUSPENDED, &g_probe_thread);
    ResumeThread(probe);
    if (WaitForSingleObject(g_inside_probe, 10000) != WAIT_OBJECT_0) {
      Fact("probe-held", "0");
      return vextra_test::kHostSetupFailed;
    }
    Fact("probe-held", "1");
    CrashHere();
  } else if (scenario == "exit-fault") {
    LoadLibraryOnly(dll);
    Start(address, {true, true});
    HMODULE module = LoadLibraryA("vextra_crash_module.dll");
    auto arm = module ? reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "ArmFaultAtExit")))
                      : nullptr;
    if (arm == nullptr) return vextra_test::kHostSetupFailed;
    arm();
    Fact("armed", "1");
    return 0;  // the module faults while the process exits
  } else if (scenario == "marker-file") {
    SetUnhandledExceptionFilter(FilterSetBeforeStart);
    LoadLibraryOnly(dll);
    Start(address, {});
    CrashHere();
  } else if (scenario == "ignored-module") {
    LoadLibraryOnly(dll);
    Start(address, {});
    HMODULE module = LoadLibraryA("vextra_crash_module.dll");
    auto fault = module ? reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "FaultInModule")))
                        : nullptr;
    if (fault == nullptr) return vextra_test::kHostSetupFailed;
    FactNumber("crash-thread", GetCurrentThreadId());
    fault();
  } else if (scenario == "invalid-parameter") {
    LoadLibraryOnly(dll);
    Start(address, {});
    Export<void (*)(bool)>("VX_SetExtraHandler")(true);
    // A size of 0 is an invalid parameter for the C runtime's checked copy.
    auto copy = reinterpret_cast<int(__cdecl*)(char*, size_t, const char*)>(CrtExport("strcpy_s"));
    if (copy == nullptr) return vextra_test::kHostSetupFailed;
    char target[4];
    FactNumber("crash-thread", GetCurrentThreadId());
    const int result = copy(target, 0, "text");
    FactNumber("strcpy_s-returned", static_cast<unsigned long long>(static_cast<unsigned>(result)));
    return 0;
  } else if (scenario == "pure-call") {
    LoadLibraryOnly(dll);
    Start(address, {});
    Export<void (*)(bool)>("VX_SetExtraHandler")(true);
    // An object as an MSVC-built host lays it out: the slot of a pure virtual
    // function holds the C runtime's _purecall, and a call through it lands there.
    auto pure_call = reinterpret_cast<void*>(CrtExport("_purecall"));
    if (pure_call == nullptr) return vextra_test::kHostSetupFailed;
    void* vtable[1] = {pure_call};
    struct MsvcObject {
      void** vtable;
    } object{vtable};
    FactNumber("crash-thread", GetCurrentThreadId());
    reinterpret_cast<void(__cdecl*)(MsvcObject*)>(object.vtable[0])(&object);
    Fact("pure-call-returned", "1");
    return 0;
  } else if (scenario == "full-dump-type") {
    LoadLibraryOnly(dll);
    if (!Export<bool (*)(int32_t)>("VX_SetDumpType")(0x3FFFFF)) return vextra_test::kHostSetupFailed;
    Start(address, {});
    // 8 MiB in use, so the dump with every kind of content passes 3 MiB.
    std::vector<char> in_use(8 << 20, 'x');
    FactNumber("in-use-bytes", in_use.size());
    CrashHere();
  } else if (scenario == "uploads-off") {
    LoadLibraryOnly(dll);
    Start(address, {true, false, false});
    CrashHere();
  } else if (scenario == "upload-with-guid") {
    LoadLibraryOnly(dll);
    Start(address, {});
    const bool sent = Export<bool (*)(const char*)>("VX_UploadCrashWithGuid")(argument);
    Fact("upload-with-guid-returned", sent ? "1" : "0");
    return 0;
  } else if (scenario == "stack-overflow") {
    LoadLibraryOnly(dll);
    Start(address, {});
    FactNumber("crash-thread", GetCurrentThreadId());
    return Recurse(0);
  } else if (scenario == "stack-overflow-host-filter") {
    LoadLibraryOnly(dll);
    Start(address, {});
    SetUnhandledExceptionFilter(FilterContinueSearch);
    FactNumber("crash-thread", GetCurrentThreadId());
    return Recurse(0);
  } else if (scenario == "stack-overflow-not-started" || scenario == "stack-overflow-no-library") {
    if (scenario == "stack-overflow-not-started") LoadLibraryOnly(dll);
    FactNumber("crash-thread", GetCurrentThreadId());
    return Recurse(0);
  } else if (scenario == "seh-overflow" || scenario == "seh-overflow-no-library") {
    // The host's own __try/__except catches the overflow (argument: on a
    // second thread when "thread"), resets its guard page and goes on.
    if (scenario == "seh-overflow") {
      LoadLibraryOnly(dll);
      Start(address, {});
    }
    if (std::string(argument) == "thread") {
      HANDLE thread = CreateThread(nullptr, 0, CatchOwnOverflowThread, nullptr, 0, nullptr);
      WaitForSingleObject(thread, INFINITE);
      DWORD status = 0;
      GetExitCodeThread(thread, &status);
      FactNumber("thread-exit", status);
    } else {
      FactNumber("crash-thread", GetCurrentThreadId());
      FactNumber("seh-caught", static_cast<unsigned>(CatchOwnOverflow()));
    }
    Fact("host-went-on", "1");
    return 0;
  } else if (scenario == "eight-threads") {
    LoadLibraryOnly(dll);
    Start(address, {});
    g_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LPTHREAD_START_ROUTINE routines[] = {CrashWhenReleased<0>, CrashWhenReleased<1>, CrashWhenReleased<2>,
                                         CrashWhenReleased<3>, CrashWhenReleased<4>, CrashWhenReleased<5>,
                                         CrashWhenReleased<6>, CrashWhenReleased<7>};
    for (auto routine : routines) CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
    // Released together only once every thread runs: on a busy machine a
    // thread can still be starting when the first fault is being processed.
    while (g_ready < 8) Sleep(1);
    SetEvent(g_go);
    Sleep(INFINITE);
  } else if (scenario == "busy-crash") {
    LoadLibraryOnly(dll);
    Start(address, {});
    CreateThread(nullptr, 0, HammerLogAndValues, nullptr, 0, nullptr);
    // A different moment of the hammering in each run.
    Sleep(20 + (GetTickCount() ^ GetCurrentProcessId()) % 200);
    CrashHere();
  } else if (scenario == "bench-throw") {
    return vextra_test::BenchThrow(argument, dll, address);
  } else if (scenario == "bench-fault") {
    return vextra_test::BenchFault(dll, address);
  } else if (scenario == "bench-baseline") {
    return vextra_test::BenchBaseline(argument, dll, address);
  } else {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  return vextra_test::kHostSetupFailed;  // a crash that did not happen
}

}  // namespace

// The library's exports for the timing modes (crash_host_timing.cpp).
namespace vextra_test {
HMODULE HostLoadLibrary(const char* dll) {
  LoadLibraryOnly(dll);
  return g_library;
}
void HostStart(const char* address, bool debug_log, bool veh) { Start(address, {debug_log, veh, true}); }
void HostFact(const char* key, const char* value) { Fact(key, value); }
}  // namespace vextra_test

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <Vextra64.dll> <scenario> <collector address> [argument]\n", argv[0]);
    return 2;
  }
  OpenFacts();
  return Run(argv[2], argv[1], argv[3], argc > 4 ? argv[4] : "");
}
