// A real stack overflow in a child process (under Wine): the crash is processed
// on the helper thread with its large stack, the dump is asked for the
// faulting thread, which waits meanwhile, and the process then ends with the
// stack overflow's code.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/process_flags.h"
#include "crash/crash_dump_sink.h"
#include "crash/crash_install.h"
#include "crash/send_exception.h"

namespace {

std::atomic<DWORD> g_faulting_thread{0};

void Say(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void DumpForThread(_EXCEPTION_POINTERS* pointers, uint32_t thread_id, wchar_t (&path)[260]) {
  const bool overflow = pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
  const bool faulting = thread_id == g_faulting_thread.load();
  const bool helper = GetCurrentThreadId() != g_faulting_thread.load();
  char line[160];
  std::snprintf(line, sizeof line, "dump: overflow %d, names the faulting thread %d, written by another thread %d\n",
                overflow, faulting, helper);
  Say(line);
  path[0] = L'x';
}

int32_t Upload(const wchar_t*, const char* guid, int32_t kind, bool) {
  char line[96];
  std::snprintf(line, sizeof line, "upload: kind %d guid length %d\n", kind, static_cast<int>(std::strlen(guid)));
  Say(line);
  return 0;
}

const Vextra::CrashDumpSink kSink{nullptr, nullptr, &Upload, &DumpForThread};

__attribute__((noinline)) int Recurse(volatile char* previous) {
  volatile char frame[512];
  frame[0] = previous != nullptr ? previous[0] : 1;
  return Recurse(frame) + frame[1];
}

TEST(StackOverflowLive, TheHelperSendsForTheFaultingThreadThenTheProcessEnds) {
  EXPECT_EXIT(
      {
        Vextra::MarkInitialized();
        Vextra::SetDebugMode(true);
        Vextra::testing_hooks::SetCrashDumpSinkForTesting(&kSink);
        Vextra::InstallCrashHandlers();
        g_faulting_thread = GetCurrentThreadId();
        Recurse(nullptr);
      },
      [](int status) { return static_cast<DWORD>(status) == EXCEPTION_STACK_OVERFLOW; },
      "dump: overflow 1, names the faulting thread 1, written by another thread 1\nupload: kind 2 guid length 32\n");
}

}  // namespace
