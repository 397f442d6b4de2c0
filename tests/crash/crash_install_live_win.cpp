// Installation of the crash handlers in this very process (under Wine, the
// Wine 8 system DLLs): the logged order of installation, the host's filter
// chained behind the library's, a memory probe's fault dropped by the send
// step, and teardown giving the host's filter back.
//
// The installation is the process's own and is undone only by teardown, so
// the steps run in order inside one test.

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "crash/crash_context.h"
#include "crash/crash_install.h"
#include "crash/crash_log_match.h"
#include "crash/crash_options.h"
#include "crash/crash_test_fixture.h"
#include "crash/manual_report.h"
#include "crash/send_exception.h"

namespace {

using namespace Vextra;
using vextra_test::InOrder;
using vextra_test::Occurrences;
using vextra_test::World;

std::vector<char> g_filter_calls;
LONG WINAPI HostFilterA(EXCEPTION_POINTERS*) {
  g_filter_calls.push_back('A');
  return EXCEPTION_EXECUTE_HANDLER;
}
LONG WINAPI HostFilterB(EXCEPTION_POINTERS*) {
  g_filter_calls.push_back('B');
  return EXCEPTION_EXECUTE_HANDLER;
}

// The system's own path to the top-level filter, as for a fault nothing handled.
LONG RunTopLevelFilter(DWORD code, void* address) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionAddress = address;
  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_POINTERS pointers{&record, &context};
  return UnhandledExceptionFilter(&pointers);
}

class CrashInstallLive : public vextra_test::CrashFixture {
 protected:
  void SetUp() override {
    CrashFixture::SetUp();
    // The real platform calls, and the recording sink in place of the dump writer.
    testing_hooks::SetCrashPlatformForTesting(nullptr);
  }
};

TEST_F(CrashInstallLive, FilterStaysOnTopWithTheHostsBehindItUntilTeardown) {
  SetUnhandledExceptionFilter(&HostFilterA);
  InstallCrashHandlers();
  EXPECT_TRUE(InOrder(NewLog(), {"SET UNHANDLE EXCEPTION RETURN FUNC IS ", "Initialize MinHook\n",
                                 "Hook SetUnhandledExceptionFilter\n", "SetUnhandledExceptionFilter succeed.\n",
                                 "Hook IsBadReadPtr\n", "IsBadReadPtr succeed.\n", "NOT IGNORE EXIT EXCEPTION\n",
                                 "Hook RtlExitUserProcess\n", "RtlExitUserProcess succeed.\n"}));
  EXPECT_NE(CHcSpyGlobal::Instance().veh_handle.load(), nullptr);
  ASSERT_EQ(CHcSpyGlobal::Instance().HookedTargetCount(), 3u);

  // The host replaces the filter: it gets the one before back, ours stays on top.
  EXPECT_EQ(SetUnhandledExceptionFilter(&HostFilterB), &HostFilterA);
  EXPECT_TRUE(InOrder(NewLog(), {"SetUnhandledExceptionFilter Called "}));
  EXPECT_EQ(RunTopLevelFilter(0xC0000005, reinterpret_cast<void*>(0x1111)), EXCEPTION_EXECUTE_HANDLER);
  EXPECT_EQ(g_filter_calls, std::vector<char>{'B'}) << "the host's filter runs after processing";
  ASSERT_EQ(World().uploaded_kinds, std::vector<int32_t>{2});
  EXPECT_EQ(World().dumped_threads, std::vector<uint32_t>{GetCurrentThreadId()});

  // A null filter: ours answers 1 itself.
  EXPECT_EQ(SetUnhandledExceptionFilter(nullptr), &HostFilterB);
  EXPECT_EQ(RunTopLevelFilter(0xC0000005, reinterpret_cast<void*>(0x2222)), EXCEPTION_EXECUTE_HANDLER);
  EXPECT_EQ(g_filter_calls.size(), 1u);
  EXPECT_EQ(World().uploaded_kinds.size(), 2u);
  EXPECT_EQ(SetUnhandledExceptionFilter(&HostFilterA), nullptr);

  // A probe's own fault reaches the vectored handler and is dropped.
  StoreVehEnable(true);
  EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(uintptr_t{0x1000}), 4));
  EXPECT_EQ(ProbeInProgress(), 0);
  EXPECT_TRUE(InOrder(NewLog(), {"Vector Ex Start 0xc0000005", "_HcSpySendException with dll", "Exception in BadPtr\n"}));
  EXPECT_EQ(World().uploaded_kinds.size(), 2u);
  EXPECT_FALSE(IsBadReadPtr(&g_filter_calls, 1));
  StoreVehEnable(false);

  // Teardown: the detour is gone and the host's last filter is the system's again.
  RemoveCrashHandlers();
  EXPECT_EQ(SetUnhandledExceptionFilter(&HostFilterB), &HostFilterA);
  EXPECT_EQ(CHcSpyGlobal::Instance().veh_handle.load(), nullptr);
  EXPECT_EQ(SetUnhandledExceptionFilter(nullptr), &HostFilterB) << "no detour answers any more";
  // The vectored handler is gone: a manual report raises and returns unseen.
  StoreVehEnable(true);
  const size_t log_before = NewLog().size();
  RaiseManualCrashReport();
  EXPECT_EQ(Occurrences(NewLog().substr(log_before), "Exception occured.\n"), 0);
  StoreVehEnable(false);
}

TEST_F(CrashInstallLive, ManualReportIsSeenByTheVectoredHandlerAndReturns) {
  InstallCrashHandlers();
  StoreVehEnable(true);
  RaiseManualCrashReport();
  RaiseManualCrashReport();  // same address, processed just now: refused by the window
  EXPECT_EQ(World().uploaded_kinds, std::vector<int32_t>{1});
  EXPECT_EQ(Occurrences(NewLog(), "Vector Ex Start 0x6000aaaa"), 1);
  StoreVehEnable(false);
  RemoveCrashHandlers();
}

}  // namespace
