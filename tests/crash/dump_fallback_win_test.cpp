// The library's own dump writer on Windows (Wine) beside the system's: the
// two dumps of one fault agree on threads, faulting thread and exception; a
// system writer that is missing, fails or faults leaves the own writer's dump
// in its place; the configuration's choice puts the own writer first.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/process_flags.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/minidump_writer.h"
#include "crash/dump/own_dump_writer_win.h"
#include "log/sdk_log.h"
#include "minidump/minidump_reader.h"
#include "platform/text_encoding.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Vextra::minidump::MinidumpContents;

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr DWORD kDumpWaitMs = 180000;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SdkLogText() {
  std::ifstream in(Vextra::platform::WideToUtf8(Vextra::SdkLog::Instance().FilePath()), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// One deliberate access violation on a thread of its own; on_fault runs in a
// vectored handler on that thread with the fault's pointers, then the thread
// ends. A fault inside on_fault (a system writer made to fault) goes on to
// the other handlers.
struct FaultRun {
  std::function<void(EXCEPTION_POINTERS*)> on_fault;
  DWORD thread = 0;
  bool handled = false;
};
FaultRun* g_run = nullptr;
thread_local bool t_in_handler = false;

LONG CALLBACK OnFault(EXCEPTION_POINTERS* pointers) {
  if (g_run == nullptr || t_in_handler || GetCurrentThreadId() != g_run->thread ||
      pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  t_in_handler = true;
  g_run->on_fault(pointers);
  g_run->handled = true;
  t_in_handler = false;
  ExitThread(0);
}

DWORD WINAPI Faulting(LPVOID) {
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(40000)) = 5;
  return 1;
}

// Threads that wait while a dump is written, so a dump has several to list.
struct IdleThreads {
  explicit IdleThreads(int count) : stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    for (int i = 0; i < count; ++i) {
      threads.push_back(CreateThread(
          nullptr, 0, [](LPVOID event) -> DWORD { return WaitForSingleObject(event, INFINITE); }, stop, 0, nullptr));
    }
  }
  ~IdleThreads() {
    SetEvent(stop);
    for (HANDLE thread : threads) {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    }
    CloseHandle(stop);
  }
  HANDLE stop;
  std::vector<HANDLE> threads;
};

bool RunFault(FaultRun& run) {
  PVOID handler = AddVectoredExceptionHandler(1, OnFault);
  g_run = &run;
  HANDLE thread = CreateThread(nullptr, 0, Faulting, nullptr, CREATE_SUSPENDED, &run.thread);
  ResumeThread(thread);
  const bool ended = WaitForSingleObject(thread, kDumpWaitMs) == WAIT_OBJECT_0;
  CloseHandle(thread);
  // A thread still writing keeps its handler and case: both stay, leaked.
  if (ended) {
    RemoveVectoredExceptionHandler(handler);
    g_run = nullptr;
  }
  return ended && run.handled;
}

// MiniDumpWriteDump stand-ins.
BOOL WINAPI ReturnsFalse(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                         PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI Faults(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                   PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x18)) = 1;
  return TRUE;
}
std::atomic<int> g_system_calls{0};
BOOL WINAPI CountsThenWrites(HANDLE process, DWORD id, HANDLE file, MINIDUMP_TYPE type,
                             PMINIDUMP_EXCEPTION_INFORMATION exception, PMINIDUMP_USER_STREAM_INFORMATION streams,
                             PMINIDUMP_CALLBACK_INFORMATION callback) {
  ++g_system_calls;
  static const auto real = reinterpret_cast<Vextra::testing_hooks::MiniDumpWriteDumpFn>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"dbghelp.dll"), "MiniDumpWriteDump")));
  return real(process, id, file, type, exception, streams, callback);
}

std::set<uint32_t> ThreadIds(const MinidumpContents& dump) {
  std::set<uint32_t> ids;
  for (const auto& thread : dump.threads) ids.insert(thread.thread_id);
  return ids;
}

class DumpFallbackTest : public testing::Test {
 protected:
  void SetUp() override {
    Vextra::SetDebugMode(true);
    Vextra::testing_hooks::ResetDumpSettingsForTesting();
    Vextra::PublishLibraryDirectory(dir_.wpath().c_str());
  }
  void TearDown() override {
    Vextra::testing_hooks::RestoreSystemDumpWriterForTesting();
    Vextra::testing_hooks::ResetDumpSettingsForTesting();
  }
  vextra_test::TempDir dir_{"vextra-dump-fallback"};
};

TEST_F(DumpFallbackTest, BothWritersDumpOneFaultWithTheSameThreadsFaultingThreadAndCode) {
  IdleThreads idle(3);
  const fs::path system_path = dir_.path() / "system.dmp";
  const fs::path own_path = dir_.path() / "own.dmp";
  uint64_t fault_rip = 0;
  FaultRun run;
  run.on_fault = [&](EXCEPTION_POINTERS* pointers) {
    fault_rip = pointers->ContextRecord->Rip;
    Vextra::_HcSpyCreateDumpFile(system_path.wstring().c_str(), pointers, 0, GetCurrentThreadId());
    Vextra::WriteOwnDumpFile(own_path.wstring().c_str(), pointers, GetCurrentThreadId());
  };
  ASSERT_TRUE(RunFault(run));

  const MinidumpContents system = Vextra::minidump::ReadMinidump(ReadBytes(system_path));
  const std::string own_bytes = ReadBytes(own_path);
  const MinidumpContents own = Vextra::minidump::ReadMinidump(own_bytes);
  ASSERT_TRUE(system.exception.present);
  for (const std::string& problem : own.problems) ADD_FAILURE() << "own dump: " << problem;
  ASSERT_TRUE(own.exception.present);

  EXPECT_EQ(own.exception.thread_id, run.thread);
  EXPECT_EQ(system.exception.thread_id, run.thread);
  EXPECT_EQ(own.exception.code, kAccessViolation);
  EXPECT_EQ(system.exception.code, kAccessViolation);
  EXPECT_EQ(own.exception.address, system.exception.address);
  EXPECT_EQ(own.exception.rip, fault_rip);
  EXPECT_EQ(own.threads.size(), system.threads.size());
  EXPECT_EQ(ThreadIds(own), ThreadIds(system));
  for (DWORD id : {run.thread, GetCurrentThreadId(), GetThreadId(idle.threads[0]), GetThreadId(idle.threads[2])}) {
    EXPECT_EQ(ThreadIds(own).count(id), 1u) << "thread " << id;
  }
  // Every thread but none other has its registers, and the faulting one
  // stands at the fault with its stack stored.
  for (const auto& thread : own.threads) {
    SCOPED_TRACE(thread.thread_id);
    EXPECT_TRUE(thread.has_registers);
    EXPECT_NE(thread.teb, 0u);
    EXPECT_GT(thread.stack_size, 0u);
    if (thread.thread_id == run.thread) {
      EXPECT_EQ(thread.rip, fault_rip);
      EXPECT_LE(thread.stack_start, thread.rsp);
      EXPECT_GT(thread.stack_start + thread.stack_size, thread.rsp);
    }
  }

  // The modules: the same images at the same places, this program with its
  // CodeView record and the system's libraries among them.
  std::set<uint64_t> own_bases, system_bases;
  for (const auto& module : own.modules) own_bases.insert(module.base);
  for (const auto& module : system.modules) system_bases.insert(module.base);
  EXPECT_EQ(own_bases, system_bases);
  const uint64_t program = reinterpret_cast<uint64_t>(GetModuleHandleW(nullptr));
  const auto self = std::find_if(own.modules.begin(), own.modules.end(),
                                 [&](const auto& module) { return module.base == program; });
  ASSERT_NE(self, own.modules.end());
  EXPECT_NE(self->name.find("vextra_crash_tests.exe"), std::string::npos) << self->name;
  EXPECT_EQ(self->codeview_signature, 0x53445352u) << "RSDS";
  EXPECT_EQ(self->debug_id.size(), 33u) << self->debug_id;  // GUID and age in hex
  const bool has_ntdll = std::any_of(own.modules.begin(), own.modules.end(), [](const auto& module) {
    std::string name = module.name;
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    return name.find("ntdll.dll") != std::string::npos;
  });
  EXPECT_TRUE(has_ntdll);
  // The memory around the faulting instruction is in the dump.
  EXPECT_FALSE(own.MemoryAt(own_bytes, fault_rip - 16, 32).empty());
}

TEST_F(DumpFallbackTest, ASystemWriterThatIsMissingFailsOrFaultsLeavesTheOwnWritersDump) {
  struct Row {
    const char* name;
    Vextra::testing_hooks::MiniDumpWriteDumpFn writer;
    const char* logged;  // a line the failure leaves
  };
  const Row rows[] = {
      {"missing", nullptr, "game dump by self also failed errid(7E)"},
      {"returns FALSE", &ReturnsFalse, "game dump by self also failed errid(32)"},
      {"faults", &Faults, "MiniDumpWriteDump faulted (C0000005"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Vextra::testing_hooks::SetSystemDumpWriterForTesting(row.writer);
    const std::string before = SdkLogText();
    wchar_t path[Vextra::kDumpPathChars] = {};
    FaultRun run;
    run.on_fault = [&](EXCEPTION_POINTERS* pointers) { Vextra::WriteCrashDump(pointers, path); };
    ASSERT_TRUE(RunFault(run));

    const fs::path dump(path);
    EXPECT_EQ(fs::canonical(dump.parent_path()), fs::canonical(dir_.path() / "pxr64" / "dump"));
    EXPECT_EQ(dump.filename().string().rfind("HcDump.HcS.", 0), 0u) << dump;
    const MinidumpContents contents = Vextra::minidump::ReadMinidump(ReadBytes(dump));
    for (const std::string& problem : contents.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(contents.exception.thread_id, run.thread);
    EXPECT_EQ(contents.exception.code, kAccessViolation);
    EXPECT_GE(contents.threads.size(), 2u);
    const std::string logged = SdkLogText().substr(before.size());
    EXPECT_NE(logged.find(row.logged), std::string::npos) << logged;
    EXPECT_NE(logged.find("the system's MiniDumpWriteDump wrote no dump\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("dump written by the library's own writer\n"), std::string::npos) << logged;
    fs::remove_all(dir_.path() / "pxr64");
  }
}

TEST_F(DumpFallbackTest, TheConfigurationsChoicePutsTheOwnWriterFirst) {
  Vextra::testing_hooks::SetSystemDumpWriterForTesting(&CountsThenWrites);
  struct Row {
    bool own_first;
    int system_calls;
    const char* written_by;
  };
  const Row rows[] = {
      {false, 1, "dump written by the system's MiniDumpWriteDump\n"},
      {true, 0, "dump written by the library's own writer\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.own_first ? "own first" : "system first");
    Vextra::PublishOwnDumpWriterFirst(row.own_first);
    g_system_calls = 0;
    const std::string before = SdkLogText();
    wchar_t path[Vextra::kDumpPathChars] = {};
    FaultRun run;
    run.on_fault = [&](EXCEPTION_POINTERS* pointers) { Vextra::WriteCrashDump(pointers, path); };
    ASSERT_TRUE(RunFault(run));
    EXPECT_EQ(g_system_calls.load(), row.system_calls);
    const MinidumpContents contents = Vextra::minidump::ReadMinidump(ReadBytes(fs::path(path)));
    EXPECT_EQ(contents.exception.thread_id, run.thread);
    EXPECT_EQ(contents.exception.code, kAccessViolation);
    const std::string logged = SdkLogText().substr(before.size());
    EXPECT_NE(logged.find(row.written_by), std::string::npos) << logged;
    fs::remove_all(dir_.path() / "pxr64");
  }
}

}  // namespace
