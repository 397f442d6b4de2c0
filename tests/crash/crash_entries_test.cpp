// The three crash entries over the facts of an exception: their decision
// sequences, log lines, return values, repeat suppression, the send step with
// the crash callback, and the stack-overflow hand-off.

#include "crash/crash_entries.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/process_flags.h"
#include "crash/crash_callbacks.h"
#include "crash/crash_context.h"
#include "crash/crash_log_match.h"
#include "crash/crash_options.h"
#include "crash/crash_test_fixture.h"
#include "crash/prepared_crash_guid.h"
#include "crash/send_exception.h"

namespace {

using namespace Vextra;
using vextra_test::CrashFixture;
using vextra_test::InOrder;
using vextra_test::Occurrences;
using vextra_test::World;

// Stands for the platform's exception pointers: only passed along.
_EXCEPTION_POINTERS* const kPointers = reinterpret_cast<_EXCEPTION_POINTERS*>(uintptr_t{0xABC0});

ExceptionFacts Fault(uint32_t code, uintptr_t address, uint32_t flags = 0) {
  ExceptionFacts facts;
  facts.pointers = kPointers;
  facts.has_record = true;
  facts.code = code;
  facts.address = address;
  facts.flags = flags;
  return facts;
}

std::vector<_EXCEPTION_POINTERS*> g_host_filter_calls;
long g_host_filter_result = 0;
bool g_lock_held_by_another_at_chain = false;
long HostFilter(_EXCEPTION_POINTERS* pointers) {
  g_host_filter_calls.push_back(pointers);
  g_lock_held_by_another_at_chain = CHcSpyGlobal::Instance().crash_lock.HeldByAnother(0);
  return g_host_filter_result;
}

std::vector<std::pair<int, std::string>> g_callback_calls;
void CrashCallback(int kind, const char* guid) { g_callback_calls.emplace_back(kind, guid); }

class CrashEntries : public CrashFixture {
 protected:
  void SetUp() override {
    CrashFixture::SetUp();
    g_host_filter_calls.clear();
    g_host_filter_result = 0;
    g_callback_calls.clear();
    StoreCrashCallback(0);
  }
  void TearDown() override {
    StoreCrashCallback(0);
    CrashFixture::TearDown();
  }
  static size_t Sends() { return World().uploaded_kinds.size(); }
};

TEST_F(CrashEntries, VectoredHandlerDecisionsAlwaysContinueTheSearch) {
  enum Setup { kPlain, kVehOff, kNoRecord, kQuietCode, kCaptureOff, kIgnoredBefore, kIgnoredByRefresh, kLockHeld };
  static constexpr struct {
    const char* what;
    Setup setup;
    bool sends;
    bool refreshes;
    const char* last_line;
  } kCases[] = {
      {"access violation", kPlain, true, true, "pre_exception_address is"},
      {"VEH switched off", kVehOff, false, false, "VEH Filter is closed.\n"},
      {"no record", kNoRecord, false, false, ""},
      {"C++ throw", kQuietCode, false, false, ""},
      {"capture off", kCaptureOff, false, false, ""},
      {"in a module already ignored", kIgnoredBefore, false, false, ""},
      {"in a module the refresh finds", kIgnoredByRefresh, false, true, ""},
      {"another thread holds the crash lock", kLockHeld, false, true, "Vector Ex Start 0xc0000005"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    StoreVehEnable(row.setup != kVehOff);
    IgnoredDllNames().Replace({"plugin.dll"});
    ExceptionFacts facts = Fault(row.setup == kQuietCode ? 0xE06D7363 : 0xC0000005, 0x7000);
    if (row.setup == kNoRecord) facts = ExceptionFacts{};
    if (row.setup == kCaptureOff) CHcSpyGlobal::Instance().enabled = 0;
    if (row.setup == kIgnoredBefore) CHcSpyGlobal::Instance().ignored_modules.Append("plugin.dll", 0x6000, 0x2000);
    if (row.setup == kIgnoredByRefresh) World().modules = {{"Plugin.dll", 0x6000, 0x2000}};
    if (row.setup == kLockHeld) {
      std::thread([] { CHcSpyGlobal::Instance().crash_lock.TryLock(99); }).join();
    }
    EXPECT_EQ(HcSpyVectoredExceptionHandler(facts), kContinueSearch);
    if (row.setup == kLockHeld) CHcSpyGlobal::Instance().crash_lock.Unlock();
    EXPECT_EQ(Sends(), row.sends ? 1u : 0u);
    EXPECT_EQ(World().refreshes, row.refreshes ? 1 : 0);
    const std::string log = NewLog();
    EXPECT_EQ(Occurrences(log, "Exception occured.\n"), 1);
    if (*row.last_line != '\0') EXPECT_TRUE(InOrder(log, {"Exception occured.\n", row.last_line}));
    EXPECT_EQ(Occurrences(log, "pre_exception_address"), row.setup == kPlain ? 1 : 0) << log;
    EXPECT_EQ(Occurrences(log, "Vector Ex Start"), row.setup == kPlain || row.setup == kLockHeld ? 1 : 0) << log;
    EXPECT_EQ(CHcSpyGlobal::Instance().crash_handled.load(), row.sends);
  }
}

TEST_F(CrashEntries, NothingRunsBeforeInitialisation) {
  testing_hooks::ResetInitializedForTesting();
  StoreVehEnable(true);
  EXPECT_EQ(HcSpyVectoredExceptionHandler(Fault(0xC0000005, 0x7000)), kContinueSearch);
  EXPECT_EQ(HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x7000)), kExecuteHandler);
  EXPECT_EQ(HcSpyInCatchExceptionFilter(Fault(0xC0000005, 0x7000)), kContinueSearch);
  EXPECT_EQ(NewLog(), "");
  EXPECT_EQ(Sends(), 0u);
  MarkInitialized();
}

TEST_F(CrashEntries, VectoredCrashSendsOnceWithItsLinesThenTheFilterFindsTheSameAddress) {
  StoreVehEnable(true);
  CHcSpyGlobal::Instance().next_filter = &HostFilter;
  g_host_filter_result = 0;
  EXPECT_EQ(HcSpyVectoredExceptionHandler(Fault(0xC0000005, 0x7123)), kContinueSearch);
  EXPECT_EQ(HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x7123)), 0);  // the host filter's answer
  ASSERT_EQ(Sends(), 1u);
  EXPECT_EQ(World().uploaded_kinds[0], kCrashKindVectored);
  EXPECT_EQ(World().dumped_threads, std::vector<uint32_t>{4242});
  EXPECT_EQ(g_host_filter_calls, std::vector<_EXCEPTION_POINTERS*>{kPointers});
  EXPECT_EQ(CHcSpyGlobal::Instance().last_crash_time.load(), World().now);
  EXPECT_TRUE(InOrder(NewLog(), {"Exception occured.\n", "Vector Ex Start 0xc0000005 address 0x00007123 thread id (4242)\n",
                                 "pre_exception_address is", "_HcSpySendException with dll %b\n", "Generated guid is ",
                                 "Crash_callback starts.\n", "Crash_callback Finished.\n",
                                 "Unhandle HcSpyUnhandledExceptionFilter, thread id (4242)\n",
                                 "exception code is c0000005\n", "Unhandle Ex Start 0xc0000005 address 0x00007123",
                                 "Crash Processing Finished.\n"}));
  EXPECT_EQ(Occurrences(NewLog(), "SEH:dump has already create"), 0) << "same address: suppressed silently";
}

TEST_F(CrashEntries, NonContinuableLinesAndRepeatsOfAnEarlierAddress) {
  StoreVehEnable(true);
  HcSpyVectoredExceptionHandler(Fault(0xC0000409, 0xA000, kNonContinuableFlag));
  HcSpyVectoredExceptionHandler(Fault(0xC0000005, 0xB000));
  HcSpyVectoredExceptionHandler(Fault(0xC0000005, 0xA000));  // another crash came in between
  HcSpyVectoredExceptionHandler(Fault(0xC0000005, 0xA000));  // equal to the last: nothing at all
  EXPECT_EQ(Sends(), 2u);
  const std::string log = NewLog();
  EXPECT_TRUE(InOrder(log, {"Vector Ex EXCEPTION_NONCONTINUABLE 0xc0000409 thread id(4242)\n",
                            "Vector Ex Start 0xc0000005 address 0x0000b000", "VEH:dump has already created addr("}));
  EXPECT_EQ(Occurrences(log, "VEH:dump has already created"), 1);

  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0xB000, kNonContinuableFlag));
  EXPECT_EQ(Sends(), 2u);
  EXPECT_TRUE(InOrder(NewLog(), {"Unhandle Ex EXCEPTION_NONCONTINUABLE 0xc0000005 thread id (4242)\n",
                                 "SEH:dump has already create addr("}));
}

TEST_F(CrashEntries, ManualReportsWithinThirtySecondsOfACrashAreRefused) {
  StoreVehEnable(true);
  HcSpyVectoredExceptionHandler(Fault(0xC0000005, 0x1000));
  World().now += 30;
  HcSpyVectoredExceptionHandler(Fault(kManualCrashCode, 0x2000));
  EXPECT_EQ(Sends(), 1u);
  World().now += 1;
  HcSpyVectoredExceptionHandler(Fault(kManualCrashCode, 0x2000));
  EXPECT_EQ(Sends(), 2u);
  EXPECT_EQ(World().uploaded_kinds, (std::vector<int32_t>{1, 1}));
}

TEST_F(CrashEntries, UnhandledFilterAnswersAndChains) {
  enum Setup { kPlain, kNoRecord, kIgnoredBefore, kIgnoredByRefresh, kCaptureOff, kLockHeld };
  static constexpr struct {
    const char* what;
    Setup setup;
    bool host_filter;
    long host_result;
    bool sends;
    long want;
  } kCases[] = {
      {"no host filter", kPlain, false, 0, true, kExecuteHandler},
      {"host filter continues the search", kPlain, true, 0, true, 0},
      {"host filter continues execution", kPlain, true, -1, true, -1},
      {"no record", kNoRecord, true, 0, false, kExecuteHandler},
      {"module already ignored", kIgnoredBefore, true, 1, false, kContinueSearch},
      {"module found by the refresh", kIgnoredByRefresh, true, 0, false, kExecuteHandler},
      {"capture off (exit begun)", kCaptureOff, true, 0, false, 0},
      {"lock held by another thread", kLockHeld, true, 0, false, 0},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    IgnoredDllNames().Replace({"plugin.dll"});
    if (row.host_filter) CHcSpyGlobal::Instance().next_filter = &HostFilter;
    g_host_filter_result = row.host_result;
    ExceptionFacts facts = Fault(0xC0000005, 0x7000);
    if (row.setup == kNoRecord) facts = ExceptionFacts{};
    if (row.setup == kIgnoredBefore) CHcSpyGlobal::Instance().ignored_modules.Append("plugin.dll", 0x6000, 0x2000);
    if (row.setup == kIgnoredByRefresh) World().modules = {{"PLUGIN.DLL", 0x6000, 0x2000}};
    if (row.setup == kCaptureOff) CHcSpyGlobal::Instance().enabled = 0;
    // A thread that holds the crash lock (sending its own crash) and lets go
    // a little later: the filter must not chain, and so let the process end,
    // before that.
    std::atomic<bool> holding{false};
    std::thread holder;
    if (row.setup == kLockHeld) {
      holder = std::thread([&holding] {
        CHcSpyGlobal::Instance().crash_lock.TryLock(99);
        holding = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CHcSpyGlobal::Instance().crash_lock.Unlock();
      });
      while (!holding) std::this_thread::yield();
    }
    g_lock_held_by_another_at_chain = false;
    EXPECT_EQ(HcSpyUnhandledExceptionFilter(facts), row.want);
    if (holder.joinable()) holder.join();
    EXPECT_FALSE(g_lock_held_by_another_at_chain) << "chained while another thread was still sending";
    EXPECT_EQ(Sends(), row.sends ? 1u : 0u);
    if (row.sends) EXPECT_EQ(World().uploaded_kinds[0], kCrashKindUnhandled);
    const bool finishes = row.setup == kPlain || row.setup == kCaptureOff || row.setup == kLockHeld;
    const std::string log = NewLog();
    EXPECT_EQ(Occurrences(log, "Crash Processing Finished.\n"), finishes ? 1 : 0) << log;
    EXPECT_EQ(Occurrences(log, "exception or exception record is null, stop processing.\n"),
              row.setup == kNoRecord ? 1 : 0);
    EXPECT_EQ(g_host_filter_calls.size(), finishes && row.host_filter ? 1u : 0u);
    EXPECT_FALSE(CHcSpyGlobal::Instance().crash_handled.load()) << "the filter never sets the flag";
  }
}

TEST_F(CrashEntries, FilterNeverChainsToItself) {
  CHcSpyGlobal::Instance().next_filter = static_cast<TopLevelFilter>(&HcSpyUnhandledExceptionFilter);
  EXPECT_EQ(HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x7000)), kExecuteHandler);
  EXPECT_EQ(Sends(), 1u);
}

TEST_F(CrashEntries, InCatchFilterSkipsCodeAndModuleTestsAndNeverChains) {
  IgnoredDllNames().Replace({"plugin.dll"});
  CHcSpyGlobal::Instance().ignored_modules.Append("plugin.dll", 0x6000, 0x2000);
  CHcSpyGlobal::Instance().next_filter = &HostFilter;
  EXPECT_EQ(HcSpyInCatchExceptionFilter(Fault(0x00000001, 0x7000)), kContinueSearch);
  EXPECT_EQ(HcSpyInCatchExceptionFilter(Fault(0x00000001, 0x7000)), kContinueSearch);  // repeat
  EXPECT_EQ(HcSpyInCatchExceptionFilter(ExceptionFacts{}), kContinueSearch);
  EXPECT_EQ(Sends(), 1u);
  EXPECT_EQ(World().uploaded_kinds[0], kCrashKindUnhandled);
  EXPECT_TRUE(g_host_filter_calls.empty());
  EXPECT_EQ(World().refreshes, 0);
  EXPECT_TRUE(InOrder(NewLog(), {"HcSpyInCatchExceptionFilter, thread id (4242)\n", "exception code is 1\n",
                                 "Unhandle Ex Start 0x00000001 address 0x00007000", "Crash Processing Finished.\n",
                                 "HcSpyInCatchExceptionFilter, thread id (4242)\n", "Crash Processing Finished.\n",
                                 "exception or exception record is null, stop processing.\n"}));
}

TEST_F(CrashEntries, CrashCallbackRunsOnceWithTheGuidTheUploadCarries) {
  StoreCrashCallback(reinterpret_cast<uint64_t>(&CrashCallback));
  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x1000));
  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x2000));
  ASSERT_EQ(Sends(), 2u);
  ASSERT_EQ(g_callback_calls.size(), 1u);
  EXPECT_EQ(g_callback_calls[0].first, 1);
  EXPECT_EQ(g_callback_calls[0].second, World().uploaded_guids[0]);
  EXPECT_NE(World().uploaded_guids[0], World().uploaded_guids[1]);
  for (const std::string& guid : World().uploaded_guids) {
    SCOPED_TRACE(guid);
    EXPECT_EQ(guid.size(), 32u);
    EXPECT_EQ(guid.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(Occurrences(NewLog(), "Generated guid is " + guid + "\n"), 1);
  }
  EXPECT_EQ(World().dump_dirs, 2);
}

std::string GuidText(const platform::Guid& guid) { return platform::FormatGuidText(guid); }

// The system's GUID source may allocate: a crash uses the GUID made before
// it, and the next one is made only once the dump is written.
TEST_F(CrashEntries, ACrashTakesTheGuidMadeBeforeItAndTheNextIsMadeAfterItsDump) {
  StoreCrashCallback(reinterpret_cast<uint64_t>(&CrashCallback));
  platform::Guid taken;
  TakePreparedCrashGuid(&taken);  // whatever an earlier test left waiting
  PrepareCrashGuid();
  platform::Guid first;
  ASSERT_TRUE(testing_hooks::PeekPreparedCrashGuid(&first));
  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x1000));
  ASSERT_EQ(g_callback_calls.size(), 1u);
  EXPECT_EQ(g_callback_calls[0].second, GuidText(first));
  EXPECT_EQ(World().uploaded_guids, std::vector<std::string>{GuidText(first)});
  platform::Guid second;
  ASSERT_TRUE(testing_hooks::PeekPreparedCrashGuid(&second));
  EXPECT_NE(GuidText(second), GuidText(first));

  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x2000));
  ASSERT_EQ(World().uploaded_guids.size(), 2u);
  EXPECT_EQ(World().uploaded_guids[1], GuidText(second));
  EXPECT_EQ(World().guid_waiting_at_dump, (std::vector<bool>{false, false}));

  // Taken by another crash meanwhile: this one makes its own.
  ASSERT_TRUE(TakePreparedCrashGuid(&taken));
  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x3000));
  ASSERT_EQ(World().uploaded_guids.size(), 3u);
  EXPECT_EQ(World().uploaded_guids[2].size(), 32u);
  EXPECT_NE(World().uploaded_guids[2], GuidText(taken));
  EXPECT_NE(World().uploaded_guids[2], World().uploaded_guids[1]);
}

TEST_F(CrashEntries, AFaultDuringAMemoryProbeIsRememberedButNotSent) {
  StoreVehEnable(true);
  StoreCrashCallback(reinterpret_cast<uint64_t>(&CrashCallback));
  ProbeBegin();
  HcSpyVectoredExceptionHandler(Fault(0xC0000005, 0x3000));
  ProbeEnd();
  EXPECT_EQ(Sends(), 0u);
  EXPECT_TRUE(g_callback_calls.empty()) << "the callback stays for the next crash";
  EXPECT_TRUE(InOrder(NewLog(), {"_HcSpySendException with dll", "Exception in BadPtr\n"}));
  EXPECT_EQ(Occurrences(NewLog(), "Generated guid is"), 0);
  // A real crash at the same address later is a repeat; elsewhere it is sent.
  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x4000));
  HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x3000));
  EXPECT_EQ(Sends(), 1u);
  EXPECT_EQ(g_callback_calls.size(), 1u);
}

TEST_F(CrashEntries, StackOverflowIsProcessedOnceAsTheSwitchSaysThenChained) {
  static constexpr struct {
    const char* what;
    bool veh;
    int32_t kind;
    const char* line;
  } kCases[] = {
      {"VEH on: as the vectored handler", true, kCrashKindVectored, "Vector Ex Start 0xc00000fd"},
      {"VEH off: as the top-level filter", false, kCrashKindUnhandled, "Unhandle Ex Start 0xc00000fd"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    StoreVehEnable(row.veh);
    CHcSpyGlobal::Instance().next_filter = &HostFilter;
    ProcessStackOverflow(Fault(kStackOverflowCode, 0x7000));
    EXPECT_EQ(World().uploaded_kinds, std::vector<int32_t>{row.kind});
    EXPECT_EQ(World().dumped_threads, std::vector<uint32_t>{4242}) << "the dump names the faulting thread";
    EXPECT_EQ(g_host_filter_calls.size(), 1u) << "the host's filter runs after processing";
    EXPECT_TRUE(InOrder(NewLog(), {row.line, "Crash Processing Finished.\n"}));
  }
}

}  // namespace
