// A host that starts Vextra64.dll, unloads it with FreeLibrary, and then
// replaces the top-level filter and crashes: the library must still be mapped
// (its filter, vectored handler and detours stay reachable), keep its filter
// on top, process the crash and chain to the host's filter.
//   vextra_crash_unload_host <path of Vextra64.dll>
// With --handlers-only, the module given only installs the crash handlers
// (its export InstallCrashHandlersOnly), and the same unload, filter call and
// fault must find it mapped and reach the host's filter.
//   vextra_crash_unload_host --handlers-only <path of the module>
// With --extra-handlers-only, Vextra64.dll is not started: only the C
// runtime's handlers are switched on (VX_SetExtraHandler), the same unloads
// follow, and an invalid parameter in the shared C runtime must still reach
// the library's handler, which throws the integer 1 from inside the library.
//   vextra_crash_unload_host --extra-handlers-only <path of Vextra64.dll>
// Run from a scratch directory: the DLL is copied there, so its workspace and
// SDK log land there. Exit status 0 when every check passed.

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

int g_failures = 0;
bool g_full_library = true;  // the SDK log's lines are checked only for the whole library

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

std::string SdkLogText() {
  WIN32_FIND_DATAA found;
  const std::string pattern = "VextraLog\\Vextra.*." + std::to_string(GetCurrentProcessId()) + ".log";
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  FindClose(search);
  std::ifstream in(std::string("VextraLog\\") + found.cFileName, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

LONG WINAPI HostFilter(EXCEPTION_POINTERS* pointers) {
  Check(pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION, "the host's filter gets the fault");
  if (!g_full_library) {
    std::printf("%d failed\n", g_failures);
    std::fflush(stdout);
    ExitProcess(g_failures == 0 ? 0 : 1);
  }
  const std::string log = SdkLogText();
  const size_t processed = log.find("Unhandle Ex Start 0xc0000005");
  Check(processed != std::string::npos, "the library's filter processed the crash after the unload");
  Check(log.find("Crash Processing Finished.", processed) != std::string::npos,
        "and chained to the host's filter when it was done");
  std::printf("%d failed\n", g_failures);
  std::fflush(stdout);
  ExitProcess(g_failures == 0 ? 0 : 1);
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The thrown integer of the library's handler: the compiler runtime's code,
// with the image base of the module that threw it as its fourth argument.
HMODULE g_library = nullptr;
LONG CALLBACK TakeThrownInteger(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != 0xE06D7363) return EXCEPTION_CONTINUE_SEARCH;
  Check(record->NumberParameters == 4 &&
            record->ExceptionInformation[3] == reinterpret_cast<ULONG_PTR>(g_library),
        "the invalid parameter reached the library's handler, which threw from inside the library");
  if (record->NumberParameters == 4) {
    Check(*reinterpret_cast<const int*>(record->ExceptionInformation[1]) == 1, "the thrown integer is 1");
  }
  std::printf("%d failed\n", g_failures);
  std::fflush(stdout);
  ExitProcess(g_failures == 0 ? 0 : 1);
}

int ExtraHandlersOnly(const char* dll) {
  Check(CopyFileA(dll, "Vextra64.dll", FALSE) != 0, "copy the DLL into the scratch directory");
  // The shared runtime an MSVC-built host uses, loaded before the switch.
  HMODULE crt = LoadLibraryA("ucrtbase.dll");
  auto copy = crt ? Resolve<int(__cdecl*)(char*, size_t, const char*)>(crt, "strcpy_s") : nullptr;
  Check(copy != nullptr, "strcpy_s of ucrtbase.dll");
  g_library = LoadLibraryA(".\\Vextra64.dll");
  Check(g_library != nullptr, "LoadLibrary");
  if (g_library == nullptr || copy == nullptr) return 1;
  Resolve<void (*)(bool)>(g_library, "VX_SetExtraHandler")(true);
  for (int i = 0; i < 17 && GetModuleHandleA("Vextra64.dll") != nullptr; ++i) FreeLibrary(g_library);
  Check(GetModuleHandleA("Vextra64.dll") == g_library, "the library stays mapped after 17 FreeLibrary calls");
  AddVectoredExceptionHandler(1, TakeThrownInteger);
  // A size of 0 is an invalid parameter for the runtime's checked copy.
  char target[4];
  copy(target, 0, "text");
  Check(false, "the invalid parameter returned to the host");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--extra-handlers-only") return ExtraHandlersOnly(argv[2]);
  g_full_library = !(argc == 3 && std::string(argv[1]) == "--handlers-only");
  if (argc != (g_full_library ? 2 : 3)) {
    std::fprintf(stderr, "usage: %s <Vextra64.dll> | --handlers-only <module>\n", argv[0]);
    return 2;
  }
  const char* name = g_full_library ? "Vextra64.dll" : "crash_handlers.dll";
  Check(CopyFileA(argv[argc - 1], name, FALSE) != 0, "copy the DLL into the scratch directory");
  // The C runtime's own filter, in force before the library is loaded.
  const LPTOP_LEVEL_EXCEPTION_FILTER runtime_filter = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(runtime_filter);
  HMODULE module = LoadLibraryA((std::string(".\\") + name).c_str());
  Check(module != nullptr, "LoadLibrary");
  if (module == nullptr) return 1;
  if (g_full_library) {
    Resolve<bool (*)(bool)>(module, "VX_ConfigDebugMode")(true);
    // Nobody listens there: the start-up's requests fail at once.
    Resolve<void (*)(const char*)>(module, "VX_ConfigCrashServerUrl")("https://127.0.0.251");
    Resolve<void (*)(const char*)>(module, "VX_InitWithAppId")("unload-host");
    Check(SdkLogText().find("RtlExitUserProcess succeed.") != std::string::npos, "start-up installed the handlers");
  } else {
    Resolve<void (*)()>(module, "InstallCrashHandlersOnly")();
  }

  // As many unloads as a careless host might do, also ones that would undo
  // references the library's own start-up took.
  Check(FreeLibrary(module) != 0, "FreeLibrary");
  for (int i = 0; i < 16 && GetModuleHandleA(name) != nullptr; ++i) FreeLibrary(module);
  Check(GetModuleHandleA(name) == module, "the library stays mapped after 17 FreeLibrary calls");

  // Through the library's detour: the host sees an ordinary replacement.
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&HostFilter);
  Check(previous == runtime_filter, "SetUnhandledExceptionFilter answers the filter in force before start-up");
  if (g_full_library) {
    Check(SdkLogText().find("SetUnhandledExceptionFilter Called") != std::string::npos,
          "the host's call went through the detour");
  }

  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(40000)) = 5;
  Check(false, "the fault returned");
  return 1;
}
