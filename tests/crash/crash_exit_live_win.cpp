// The exit detour in a child process (under Wine): once the process has begun
// to exit, capture is off, and the exit status passes through unchanged. The
// child watches its own exit through a test detour on the loader's shut-down,
// which the system's process exit calls after RtlExitUserProcess was entered.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "core/process_flags.h"
#include "crash/crash_decisions.h"
#include "crash/crash_install.h"
#include "crash/hook/minhook_api.h"

namespace {

using ShutdownFn = void(NTAPI*)();
ShutdownFn g_shutdown_original = nullptr;

void NTAPI ReportCaptureAtShutdown() {
  const char* text = Vextra::IsCaptureEnabled() ? "capture still on at exit\n" : "capture off at exit\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  g_shutdown_original();
}

// Places the watch on the loader's shut-down; the detour engine is initialised by then.
bool WatchShutdown() {
  void* target = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrShutdownProcess"));
  return target != nullptr &&
         MH_CreateHook(target, reinterpret_cast<void*>(&ReportCaptureAtShutdown),
                       reinterpret_cast<void**>(&g_shutdown_original)) == MH_OK &&
         MH_EnableHook(target) == MH_OK;
}

TEST(CrashExitLive, CaptureIsOffOnceTheProcessExits) {
  EXPECT_EXIT(
      {
        Vextra::MarkInitialized();
        Vextra::InstallCrashHandlers();
        if (Vextra::IsCaptureEnabled() && WatchShutdown()) ExitProcess(7);
        ExitProcess(1);
      },
      ::testing::ExitedWithCode(7), "capture off at exit");
}

TEST(CrashExitLive, WithoutTheExitDetourCaptureStaysOnAtExit) {
  // The same watch without the crash handlers: shows it does see the exit.
  EXPECT_EXIT(
      {
        Vextra::MarkInitialized();
        if (MH_Initialize() == MH_OK && WatchShutdown()) ExitProcess(3);
        ExitProcess(1);
      },
      ::testing::ExitedWithCode(3), "capture still on at exit");
}

}  // namespace
