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
#include <memory>
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
// fault of that thread (itself, or through a helper thread as after a stack
// overflow), then sends the thread to its end.
struct HelperCase {
  EXCEPTION_POINTERS* pointers = nullptr;
  DWORD faultingThread = 0;
  DWORD helperThread = 0;
  wchar_t path[Vextra::kDumpPathChars] = {};
};

struct FaultCase {
  DWORD thread = 0;
  wchar_t path[Vextra::kDumpPathChars] = {};
  std::atomic<bool> handled{false};
  std::shared_ptr<HelperCase> helper;  // set: the dump is written by a helper thread
};

// Every thread started here holds its own share of the case it works on, so
// a test whose wait runs out leaves nothing behind that the thread may still
// write to: the case lives until the last thread using it ends.
thread_local std::shared_ptr<FaultCase>* t_case = nullptr;

constexpr DWORD kDumpWaitMs = 180000;  // a dump of every kind takes a while under Wine

[[noreturn]] void EndFaultingThread() {
  delete t_case;
  t_case = nullptr;
  ExitThread(0);
}

DWORD WINAPI WriteForAnotherThread(LPVOID parameter) {
  std::unique_ptr<std::shared_ptr<HelperCase>> share(static_cast<std::shared_ptr<HelperCase>*>(parameter));
  HelperCase& helper = **share;
  helper.helperThread = GetCurrentThreadId();
  Vextra::WriteCrashDumpForThread(helper.pointers, helper.faultingThread, helper.path);
  return 0;
}

LONG CALLBACK WriteDumpOnFault(EXCEPTION_POINTERS* pointers) {
  if (t_case == nullptr || pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  FaultCase& fault = **t_case;
  if (fault.helper != nullptr) {
    fault.helper->pointers = pointers;
    fault.helper->faultingThread = GetCurrentThreadId();
    HANDLE helper = CreateThread(nullptr, 0, WriteForAnotherThread, new std::shared_ptr<HelperCase>(fault.helper), 0,
                                 nullptr);
    // The faulting thread's pointers must stay valid while the helper reads
    // them: it waits for the helper to end, however long that takes.
    WaitForSingleObject(helper, INFINITE);
    CloseHandle(helper);
  } else {
    Vextra::WriteCrashDump(pointers, fault.path);
  }
  fault.handled = true;
  // Resume in a function that ends the thread, on an aligned stack.
  pointers->ContextRecord->Rsp = (pointers->ContextRecord->Rsp & ~static_cast<DWORD64>(15)) - 8;
  pointers->ContextRecord->Rip = reinterpret_cast<DWORD64>(&EndFaultingThread);
  return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI FaultingThread(LPVOID parameter) {
  t_case = static_cast<std::shared_ptr<FaultCase>*>(parameter);
  (*t_case)->thread = GetCurrentThreadId();
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(40000)) = 5;
  return 1;
}

// A faulting thread a test gave up on: still writing its dump. The writer
// may not run twice at once, so no other fault starts before it has ended.
HANDLE g_unfinished = nullptr;

// Runs one deliberate access violation on a new thread and waits for it at
// most wait_ms. A thread still at work then keeps its share of the case and
// the handler its fault needs: both stay in place, so the thread finishes on
// memory of its own, and the test goes on with an unhandled case.
std::shared_ptr<FaultCase> FaultOnAThread(std::shared_ptr<HelperCase> helper = nullptr, DWORD wait_ms = kDumpWaitMs) {
  auto fault = std::make_shared<FaultCase>();
  if (g_unfinished != nullptr) {
    if (WaitForSingleObject(g_unfinished, kDumpWaitMs) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "an earlier faulting thread is still writing its dump";
      return fault;
    }
    CloseHandle(g_unfinished);
    g_unfinished = nullptr;
  }
  fault->helper = std::move(helper);
  PVOID handler = AddVectoredExceptionHandler(1, WriteDumpOnFault);
  HANDLE thread = CreateThread(nullptr, 0, FaultingThread, new std::shared_ptr<FaultCase>(fault), 0, nullptr);
  if (WaitForSingleObject(thread, wait_ms) == WAIT_OBJECT_0) {
    CloseHandle(thread);
    RemoveVectoredExceptionHandler(handler);
  } else {
    g_unfinished = thread;
  }
  return fault;
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
  const std::shared_ptr<FaultCase> fault = FaultOnAThread();
  ASSERT_TRUE(fault->handled);
  const DWORD thread = fault->thread;

  // Both directory levels were created and the dump named after the time.
  const fs::path path(fault->path);
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
      "file path lenth: " + std::to_string(std::wstring(fault->path).size()) + ",  game dump by self succeed\n";
  EXPECT_NE(logged.find(succeeded), std::string::npos) << logged;
}

TEST_F(DumpWriterTest, ALargeDumpGetsASmallCompanionWhichIsTheOneToUpload) {
  // More than 3 MiB of committed, touched memory for a dump of every kind.
  std::vector<char> ballast(4 * 1048576);
  for (size_t i = 0; i < ballast.size(); i += 4096) ballast[i] = static_cast<char>(i);
  Vextra::PublishDumpType(0x3FFFFF);
  const std::shared_ptr<FaultCase> fault = FaultOnAThread();
  ASSERT_TRUE(fault->handled);
  const DWORD thread = fault->thread;

  const fs::path small(fault->path);
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
  const std::shared_ptr<FaultCase> fault = FaultOnAThread();
  ASSERT_TRUE(fault->handled);
  // The path is still named for the upload, but nothing was left there.
  EXPECT_EQ(fs::path(fault->path).parent_path(), workspace);
  EXPECT_FALSE(fs::exists(dir_.path() / "not-there"));
  const std::string logged = SdkLogText().substr(before.size());
  EXPECT_NE(logged.find("Using custom worksapce to generate dump.\n"), std::string::npos) << logged;
  const std::string failed = "file name length " + std::to_string(std::wstring(fault->path).size()) +
                             " game dump by self also failed errid(";
  const size_t at = logged.find(failed);
  ASSERT_NE(at, std::string::npos) << logged;
  EXPECT_NE(logged.find(") res(", at), std::string::npos) << logged;
  EXPECT_NE(logged.find("DeleteFile fail " + std::to_string(std::wstring(fault->path).size()) + "\n"), std::string::npos)
      << logged;
}

TEST_F(DumpWriterTest, AWorkspaceTooLongForADumpPathWritesNothingAndNamesNothing) {
  // 240 characters fit a workspace, not a workspace plus a dump name.
  const std::wstring workspace = dir_.wpath() + L"\\" + std::wstring(240 - dir_.wpath().size() - 1, L'w');
  fs::create_directories(workspace);
  Vextra::PublishDumpWorkspace(true, workspace);
  const std::string before = SdkLogText();
  const std::shared_ptr<FaultCase> fault = FaultOnAThread();
  ASSERT_TRUE(fault->handled);
  EXPECT_EQ(fault->path[0], L'\0');
  EXPECT_TRUE(fs::is_empty(workspace));
  const std::string logged = SdkLogText().substr(before.size());
  EXPECT_EQ(logged.find("enter _HcSpyCreateDumpFile"), std::string::npos) << logged;
}

// The faulting thread hands its pointers to a helper thread, which writes the
// dump naming the faulting thread, and waits for it (as after a stack overflow).
TEST_F(DumpWriterTest, AHelperThreadWritesTheDumpOfTheFaultingThread) {
  auto helper = std::make_shared<HelperCase>();
  const std::shared_ptr<FaultCase> fault = FaultOnAThread(helper);
  ASSERT_TRUE(fault->handled);
  ASSERT_NE(helper->helperThread, fault->thread);
  const DumpFacts facts = ReadDump(ReadBytes(fs::path(helper->path)));
  EXPECT_TRUE(facts.signature);
  EXPECT_EQ(facts.code, 0xC0000005u);
  EXPECT_EQ(facts.threadId, fault->thread);
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
  Vextra::PublishLibraryDirectory(dir.wpath().c_str());
  EXPECT_TRUE(FaultOnAThread()->handled);
  EXPECT_FALSE(fs::exists(dir.path() / "test.dmp"));
  Vextra::testing_hooks::ResetDumpSettingsForTesting();
  SetCurrentDirectoryW(previous);
}

}  // namespace
