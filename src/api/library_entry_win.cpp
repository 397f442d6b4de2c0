// The loader's entry point of Vextra64.dll.

#include <windows.h>

#include <cstdint>
#include <ctime>

#include "core/common_info.h"
#include "app/startup.h"
#include "app/teardown.h"
#include "log/sdk_log.h"

namespace {
// The code a C++ throw carries through structured exception handling in a
// MinGW-w64 build; logged when the attach setup fails with an exception.
constexpr uint32_t kCppThrowCode = 0x20474343;
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  try {
    Vextra::RunAttachSetup();
  } catch (...) {
    // The attach setup failed: refuse to load rather than run half set up.
    try {
      Vextra::LogDebug("Excption: %X\n", kCppThrowCode);
    } catch (...) {
    }
    return FALSE;
  }
  try {
    if (reason == DLL_PROCESS_DETACH) Vextra::TermHookContext();
    if (reason == DLL_PROCESS_ATTACH) Vextra::CommonInfo::Instance().SetBootTime(std::time(nullptr));
  } catch (...) {
  }
  return TRUE;
}
