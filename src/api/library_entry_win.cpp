// The loader's entry point of Vextra64.dll.

#include <windows.h>

#include <ctime>

#include "core/common_info.h"
#include "core/startup.h"
#include "core/teardown.h"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  Vextra::RunAttachSetup();
  if (reason == DLL_PROCESS_DETACH) Vextra::TermHookContext();
  if (reason == DLL_PROCESS_ATTACH) Vextra::CommonInfo::Instance().SetBootTime(std::time(nullptr));
  return TRUE;
}
