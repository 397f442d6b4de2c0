// A stand-in dbghelp.dll whose MiniDumpWriteDump fails: built twice, once
// returning FALSE and once faulting inside the call (DBGHELP_STUB_FAULTS).
// Placed beside a host and loaded through a DLL override, it stands for a
// system dump writer that breaks under a compatibility layer.

#include <windows.h>

extern "C" __declspec(dllexport) BOOL WINAPI MiniDumpWriteDump(HANDLE, DWORD, HANDLE, int, void*, void*, void*) {
#ifdef DBGHELP_STUB_FAULTS
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x30)) = 1;
#endif
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
