// vextra_crash_module.dll: a tiny module the crash host loads after
// Vextra64.dll, so that a fault can happen inside a module of its own:
//   FaultInModule  faults in this module's code (the ignored-module case);
//   ArmFaultAtExit makes this module fault in its process-detach notification,
//                  which the loader runs after the process began to exit.
// Before the exit fault it writes "exit-fault.reached" beside the host
// program, so the driver knows the fault really happened.

#include <windows.h>

namespace {

volatile LONG g_fault_at_exit = 0;

void WriteReachedMarker() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  while (length > 0 && path[length - 1] != L'\\') --length;
  const wchar_t name[] = L"exit-fault.reached";
  if (length + sizeof name / sizeof name[0] >= MAX_PATH) return;
  for (size_t i = 0; i < sizeof name / sizeof name[0]; ++i) path[length + i] = name[i];
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

__attribute__((noinline)) void Fault() { *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x48)) = 1; }

}  // namespace

extern "C" __declspec(dllexport) void FaultInModule() { Fault(); }

extern "C" __declspec(dllexport) void ArmFaultAtExit() { InterlockedExchange(&g_fault_at_exit, 1); }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // reserved is set when the whole process ends rather than a FreeLibrary.
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr && g_fault_at_exit) {
    WriteReachedMarker();
    Fault();
  }
  return TRUE;
}
