// The dump writer for real under Windows (Wine): a dump of this process
// written from its own vectored handler for a deliberate access violation,
// read back here field by field; the small companion of a large dump; the
// failure of a workspace that does not exist; and the attach guard that
// turns a fault into the test dump and a failed attach.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/process_flags.h"
#include "crash/dump/attach_guard.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/minidump_writer.h"
#include "log/sdk_log.h"
#include "platform/text_encoding.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t U32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  if (at + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

// What a minidump's header and exception stream say, read with the file
// format's own offsets (header: signature, version, stream count, directory;
// directory entries of type, size, offset; exception stream: thread id,
// alignment, then the exception record starting with its code).
struct DumpFacts {
  bool signature = false;
  bool hasException = false;
  uint32_t threadId = 0;
  uint32_t code = 0;
};

DumpFacts ReadDump(const std::string& bytes) {
  DumpFacts facts;
  facts.signature = bytes.size() >= 32 && bytes.compare(0, 4, "MDMP") == 0;
  if (!facts.signature) return facts;
  const uint32_t streams = U32(bytes, 8);
  const uint32_t directory = U32(bytes, 12);
  for (uint32_t i = 0; i < streams; ++i) {
    const size_t entry = directory + 12u * i;
    if (U32(bytes, entry) != 6) continue;  // the exception stream
    const uint32_t at = U32(bytes, entry + 8);
    facts.hasException = true;
    facts.threadId = U32(bytes, at);
    facts.code = U32(bytes, at + 8);
  }
  return facts;
}

// The faulting thread's part: a vectored handler that writes the dump for the
// fault of that thread, then sends the thread to its end.
struct FaultCase {
  DWORD thread = 0;
  wchar_t path[Vextra::kDumpPathChars] = {};
  std::atomic<bool> handled{false};
};
FaultCase* g_case = nullptr;

[[noreturn]] void EndFaultingThread() { ExitThread(0); }

LONG CALLBACK WriteDumpOnFault(EXCEPTION_POINTERS* pointers) {
  if (g_case == nullptr || GetCurrentThreadId() != g_case->thread ||
      pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  Vextra::WriteCrashDump(pointers, g_case->path);
  g_case->handled = true;
  // Resume in a function that ends the thread, on an aligned stack.
  pointers->ContextRecord->Rsp = (pointers->ContextRecord->Rsp & ~static_cast<DWORD64>(15)) - 8;
  pointers->ContextRecord->Rip = reinterpret_cast<DWORD64>(&EndFaultingThread);
  return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI FaultingThread(LPVOID) {
  g_case->thread = GetCurrentThreadId();
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(40000)) = 5;
  return 1;
}

// Runs one deliberate access violation on a new thread; its id.
DWORD FaultOnAThread(FaultCase& fault) {
  g_case = &fault;
  PVOID handler = AddVectoredExceptionHandler(1, WriteDumpOnFault);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, &id);
  WaitForSingleObject(thread, 180000);  // a dump of every kind takes a while under Wine
  CloseHandle(thread);
  RemoveVectoredExceptionHandler(handler);
  g_case = nullptr;
  return id;
}

std::string SdkLogText() {
  std::ifstream in(Vextra::platform::WideToUtf8(Vextra::SdkLog::Instance().FilePath()), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // lines end with CR LF
  return text;
}

class DumpWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    Vextra::SetDebugMode(true);
    Vextra::testing_hooks::ResetDumpSettingsForTesting();
    Vextra::PublishLibraryDirectory(dir_.wpath().c_str());
  }
  void TearDown() override { Vextra::testing_hooks::ResetDumpSettingsForTesting(); }
  vextra_test::TempDir dir_{"vextra-dump-writer"};
};

TEST_F(DumpWriterTest, DefaultWorkspaceDumpNamesTheFaultAndItsThread) {
  const std::string before = SdkLogText();
  const time_t start = std::time(nullptr);
  FaultCase fault;
  const DWORD thread = FaultOnAThread(fault);
  ASSERT_TRUE(fault.handled);

  // Both directory levels were created and the dump named after the time.
  const fs::path path(fault.path);
  EXPECT_EQ(fs::canonical(path.parent_path()), fs::canonical(dir_.path() / "pxr64" / "dump"));
  const std::string name = path.filename().string();
  ASSERT_EQ(name.rfind("HcDump.HcS.", 0), 0u) << name;
  const long seconds = std::stol(name.substr(11));
  EXPECT_GE(seconds, static_cast<long>(start));
  EXPECT_LE(seconds, static_cast<long>(std::time(nullptr)));
  EXPECT_EQ(name, "HcDump.HcS." + std::to_string(seconds) + ".dmp");

  const DumpFacts facts = ReadDump(ReadBytes(path));
  EXPECT_TRUE(facts.signature);
  ASSERT_TRUE(facts.hasException);
  EXPECT_EQ(facts.code, 0xC0000005u);
  EXPECT_EQ(facts.threadId, thread);

  const std::string logged = SdkLogText().substr(before.size());
  EXPECT_NE(logged.find("Using default worksapce to generate dump.\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("enter _HcSpyCreateDumpFile\n"), std::string::npos) << logged;
  const std::string succeeded =
      "file path lenth: " + std::to_string(std::wstring(fault.path).size()) + ",  game dump by self succeed\n";
  EXPECT_NE(logged.find(succeeded), std::string::npos) << logged;
}

TEST_F(DumpWriterTest, ALargeDumpGetsASmallCompanionWhichIsTheOneToUpload) {
  // More than 3 MiB of committed, touched memory for a dump of every kind.
  std::vector<char> ballast(4 * 1048576);
  for (size_t i = 0; i < ballast.size(); i += 4096) ballast[i] = static_cast<char>(i);
  Vextra::PublishDumpType(0x3FFFFF);
  FaultCase fault;
  const DWORD thread = FaultOnAThread(fault);
  ASSERT_TRUE(fault.handled);

  const fs::path small(fault.path);
  const std::string name = small.filename().string();
  ASSERT_GE(name.size(), 10u);
  EXPECT_EQ(name.substr(name.size() - 10), "-small.dmp") << name;
  // The full dump stays beside it.
  std::vector<fs::path> full;
  for (const auto& entry : fs::directory_iterator(small.parent_path())) {
    if (entry.path() != small) full.push_back(entry.path());
  }
  ASSERT_EQ(full.size(), 1u);
  EXPECT_GT(fs::file_size(full[0]), 0x300000u);
  const DumpFacts facts = ReadDump(ReadBytes(small));
  EXPECT_TRUE(facts.signature);
  EXPECT_EQ(facts.code, 0xC0000005u);
  EXPECT_EQ(facts.threadId, thread);
  EXPECT_LT(fs::file_size(small), fs::file_size(full[0]));
  EXPECT_NE(ballast[4096], 1);  // keeps the ballast alive
}

TEST_F(DumpWriterTest, AMissingCustomWorkspaceLogsTheSystemTextAndLeavesNoFile) {
  const fs::path workspace = dir_.path() / "not-there" / "lumaro";
  Vextra::PublishDumpWorkspace(true, workspace.wstring());
  const std::string before = SdkLogText();
  FaultCase fault;
  FaultOnAThread(fault);
  ASSERT_TRUE(fault.handled);
  // The path is still named for the upload, but nothing was left there.
  EXPECT_EQ(fs::path(fault.path).parent_path(), workspace);
  EXPECT_FALSE(fs::exists(dir_.path() / "not-there"));
  const std::string logged = SdkLogText().substr(before.size());
  EXPECT_NE(logged.find("Using custom worksapce to generate dump.\n"), std::string::npos) << logged;
  const std::string failed = "file name length " + std::to_string(std::wstring(fault.path).size()) +
                             " game dump by self also failed errid(";
  const size_t at = logged.find(failed);
  ASSERT_NE(at, std::string::npos) << logged;
  EXPECT_NE(logged.find(") res(", at), std::string::npos) << logged;
  EXPECT_NE(logged.find("DeleteFile fail " + std::to_string(std::wstring(fault.path).size()) + "\n"), std::string::npos)
      << logged;
}

TEST_F(DumpWriterTest, AWorkspaceTooLongForADumpPathWritesNothingAndNamesNothing) {
  // 240 characters fit a workspace, not a workspace plus a dump name.
  const std::wstring workspace = dir_.wpath() + L"\\" + std::wstring(240 - dir_.wpath().size() - 1, L'w');
  fs::create_directories(workspace);
  Vextra::PublishDumpWorkspace(true, workspace);
  const std::string before = SdkLogText();
  FaultCase fault;
  FaultOnAThread(fault);
  ASSERT_TRUE(fault.handled);
  EXPECT_EQ(fault.path[0], L'\0');
  EXPECT_TRUE(fs::is_empty(workspace));
  const std::string logged = SdkLogText().substr(before.size());
  EXPECT_EQ(logged.find("enter _HcSpyCreateDumpFile"), std::string::npos) << logged;
}

// The faulting thread hands its pointers to a helper thread, which writes the
// dump naming the faulting thread, and waits for it (as after a stack overflow).
struct HelperCase {
  EXCEPTION_POINTERS* pointers = nullptr;
  DWORD faultingThread = 0;
  DWORD helperThread = 0;
  wchar_t path[Vextra::kDumpPathChars] = {};
};

DWORD WINAPI WriteForAnotherThread(LPVOID parameter) {
  auto* helper = static_cast<HelperCase*>(parameter);
  helper->helperThread = GetCurrentThreadId();
  Vextra::WriteCrashDumpForThread(helper->pointers, helper->faultingThread, helper->path);
  return 0;
}

HelperCase* g_helper = nullptr;

LONG CALLBACK HandOverOnFault(EXCEPTION_POINTERS* pointers) {
  if (g_case == nullptr || GetCurrentThreadId() != g_case->thread ||
      pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  g_helper->pointers = pointers;
  g_helper->faultingThread = GetCurrentThreadId();
  HANDLE helper = CreateThread(nullptr, 0, WriteForAnotherThread, g_helper, 0, nullptr);
  WaitForSingleObject(helper, 180000);
  CloseHandle(helper);
  g_case->handled = true;
  pointers->ContextRecord->Rsp = (pointers->ContextRecord->Rsp & ~static_cast<DWORD64>(15)) - 8;
  pointers->ContextRecord->Rip = reinterpret_cast<DWORD64>(&EndFaultingThread);
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST_F(DumpWriterTest, AHelperThreadWritesTheDumpOfTheFaultingThread) {
  HelperCase helper;
  FaultCase fault;
  g_helper = &helper;
  g_case = &fault;
  PVOID handler = AddVectoredExceptionHandler(1, HandOverOnFault);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, &id);
  WaitForSingleObject(thread, 180000);
  CloseHandle(thread);
  RemoveVectoredExceptionHandler(handler);
  g_case = nullptr;
  g_helper = nullptr;
  ASSERT_TRUE(fault.handled);
  ASSERT_NE(helper.helperThread, id);
  const DumpFacts facts = ReadDump(ReadBytes(fs::path(helper.path)));
  EXPECT_TRUE(facts.signature);
  EXPECT_EQ(facts.code, 0xC0000005u);
  EXPECT_EQ(facts.threadId, id);
}

void FaultInSetup() { *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(40000)) = 5; }
void CleanSetup() {}
void ThrowInSetup() { throw std::runtime_error("setup"); }

TEST(AttachGuard, AFaultWritesTheTestDumpAndFailsTheAttach) {
  vextra_test::TempDir dir("vextra-attach-guard");
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  SetCurrentDirectoryW(dir.wpath().c_str());

  uint32_t code = 0;
  EXPECT_FALSE(Vextra::RunUnderAttachGuard(&FaultInSetup, &Vextra::WriteTestDump, &code));
  EXPECT_EQ(code, 0xC0000005u);
  const DumpFacts facts = ReadDump(ReadBytes(dir.path() / "test.dmp"));
  EXPECT_TRUE(facts.signature);
  EXPECT_EQ(facts.code, 0xC0000005u);
  EXPECT_EQ(facts.threadId, GetCurrentThreadId());

  // A setup that returns is run once, through; a C++ throw passes the guard
  // unchanged; and no handler of the guard is left behind.
  fs::remove(dir.path() / "test.dmp");
  code = 0;
  EXPECT_TRUE(Vextra::RunUnderAttachGuard(&CleanSetup, &Vextra::WriteTestDump, &code));
  EXPECT_THROW(Vextra::RunUnderAttachGuard(&ThrowInSetup, &Vextra::WriteTestDump, &code), std::runtime_error);
  EXPECT_EQ(code, 0u);
  FaultCase fault;
  Vextra::PublishLibraryDirectory(dir.wpath().c_str());
  FaultOnAThread(fault);
  EXPECT_TRUE(fault.handled);
  EXPECT_FALSE(fs::exists(dir.path() / "test.dmp"));
  Vextra::testing_hooks::ResetDumpSettingsForTesting();
  SetCurrentDirectoryW(previous);
}

}  // namespace
