// The loader's entry point of Vextra64.dll.

#include <windows.h>

#include <cstdint>
#include <ctime>

#include "app/startup.h"
#include "app/teardown.h"
#include "core/common_info.h"
#include "crash/dump/attach_guard.h"
#include "crash/dump/dump_rules.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/minidump_writer.h"
#include "log/sdk_log.h"

namespace {
// The code a C++ throw carries through structured exception handling in a
// MinGW-w64 build; logged when the attach setup fails with an exception.
constexpr uint32_t kCppThrowCode = 0x20474343;

// The library directory as the dump writer knows it, found while attaching so
// that a faulting thread never looks the module up under the loader's lock.
// By name: the library under another name gives the host's directory.
void RememberLibraryDirectory() {
  wchar_t known[Vextra::kDumpPathChars];
  if (Vextra::ReadLibraryDirectory(known)) return;
  wchar_t module_path[Vextra::kDumpPathChars] = {};
  GetModuleFileNameW(GetModuleHandleA("Vextra64.dll"), module_path, Vextra::kDumpPathChars);
  wchar_t directory[Vextra::kDumpPathChars];
  if (Vextra::DirectoryPart(module_path, L'\\', directory)) Vextra::PublishLibraryDirectory(directory);
}

void AttachSetup() {
  Vextra::RunAttachSetup();
  RememberLibraryDirectory();
}
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  uint32_t code = 0;
  bool attached = false;
  try {
    attached = Vextra::RunUnderAttachGuard(&AttachSetup, &Vextra::WriteTestDump, &code);
  } catch (...) {
    code = kCppThrowCode;
  }
  if (!attached) {
    // The attach setup failed: refuse to load rather than run half set up.
    try {
      Vextra::LogDebug("Excption: %X\n", code);
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
