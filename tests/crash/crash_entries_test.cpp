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
  EXPECT_EQ(World().uploaded_kinds[0], 1) << "crash kind 1: the vectored handler";
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
    // Thread 99 holds the crash lock (sending its own crash) before the filter
    // starts, and lets go only during the filter's third sleep in its wait:
    // the filter must not chain, and so let the process end, before that.
    if (row.setup == kLockHeld) {
      ASSERT_TRUE(CHcSpyGlobal::Instance().crash_lock.TryLock(99));
      World().after_sleep = [] {
        if (World().sleeps == 3) CHcSpyGlobal::Instance().crash_lock.Unlock();
      };
    }
    g_lock_held_by_another_at_chain = false;
    EXPECT_EQ(HcSpyUnhandledExceptionFilter(facts), row.want);
    EXPECT_FALSE(g_lock_held_by_another_at_chain) << "chained while another thread was still sending";
    EXPECT_EQ(World().sleeps, row.setup == kLockHeld ? 3 : 0) << "the wait ran exactly while the lock was held";
    if (row.setup == kLockHeld && World().sleeps < 3) CHcSpyGlobal::Instance().crash_lock.Unlock();
    EXPECT_EQ(Sends(), row.sends ? 1u : 0u);
    if (row.sends) EXPECT_EQ(World().uploaded_kinds[0], 2) << "crash kind 2: a filter";
    const bool finishes = row.setup == kPlain || row.setup == kCaptureOff || row.setup == kLockHeld;
    const std::string log = NewLog();
    EXPECT_EQ(Occurrences(log, "Crash Processing Finished.\n"), finishes ? 1 : 0) << log;
    EXPECT_EQ(Occurrences(log, "exception or exception record is null, stop processing.\n"),
              row.setup == kNoRecord ? 1 : 0);
    EXPECT_EQ(g_host_filter_calls.size(), finishes && row.host_filter ? 1u : 0u);
    EXPECT_FALSE(CHcSpyGlobal::Instance().crash_handled.load()) << "the filter never sets the flag";
  }
}

// The filter's wait for another crashing thread, on the fake clock (sleeps
// of whole 16 ms ticks): for a live holder up to 60 s, for a gone holder or
// once exit has begun not at all; the host's filter runs when it ends.
TEST_F(CrashEntries, FilterWaitsForALiveHolderUpToSixtySecondsAndNeverAfterExitOrForAGoneOne) {
  enum Setup { kReleases, kKeepsIt, kEnded, kExitBegun };
  static constexpr struct {
    const char* what;
    Setup setup;
    uint64_t min_ms, max_ms;  // clock at the host filter's call, from the filter's start
    bool held_at_chain;
  } kCases[] = {
      {"live holder lets go after 1.5 s", kReleases, 1500, 1515, false},
      {"live holder that never lets go", kKeepsIt, 60000, 60015, true},
      {"holder whose thread has ended", kEnded, 0, 0, true},
      {"exit begun", kExitBegun, 0, 0, true},
  };
  constexpr uint32_t kHolder = 99;
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    CHcSpyGlobal& context = CHcSpyGlobal::Instance();
    context.next_filter = &HostFilter;
    g_host_filter_result = 0;
    ASSERT_TRUE(context.crash_lock.TryLock(kHolder));  // held before the filter starts
    if (row.setup == kEnded) World().ended_threads = {kHolder};
    if (row.setup == kExitBegun) context.enabled = 0;
    const uint64_t start = World().clock_ms;
    bool released = false;
    World().after_sleep = [&] {
      if (row.setup == kReleases && !released && World().clock_ms - start >= 1500) {
        context.crash_lock.Unlock();
        released = true;
      }
    };
    uint64_t chained_at = 0;
    static uint64_t* g_chained_at;
    g_chained_at = &chained_at;
    context.next_filter = [](_EXCEPTION_POINTERS* pointers) {
      *g_chained_at = World().clock_ms;
      return HostFilter(pointers);
    };
    EXPECT_EQ(HcSpyUnhandledExceptionFilter(Fault(0xC0000005, 0x7000)), 0);
    ASSERT_EQ(g_host_filter_calls.size(), 1u);
    EXPECT_GE(chained_at - start, row.min_ms);
    EXPECT_LE(chained_at - start, row.max_ms);
    EXPECT_EQ(g_lock_held_by_another_at_chain, row.held_at_chain);
    EXPECT_EQ(Sends(), 0u) << "the lock was another thread's";
    if (!released) context.crash_lock.Unlock();
    World().after_sleep = nullptr;
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
  EXPECT_EQ(World().uploaded_kinds[0], 2) << "crash kind 2: a filter";
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

// The helper as the faulting thread sees it: runs the overflow's entries on
// the calling thread, or reports the outcome a row asks for.
HelperOutcome g_helper_outcome = HelperOutcome::kDone;
int g_helper_runs = 0;
bool g_host_frame_takes_it = false;
bool g_on_main_thread = false;
int g_frame_queries = 0;
const OverflowQueries kQueries{[](const ExceptionFacts&) {
                                 ++g_frame_queries;
                                 return g_host_frame_takes_it;
                               },
                               [](const ExceptionFacts&) { return g_on_main_thread; }};
HelperOutcome RunHere(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                      OverflowAnswer* answer) {
  ++g_helper_runs;
  if (g_helper_outcome == HelperOutcome::kDone) {
    *answer = ProcessStackOverflow(pass, facts, dispatch, kQueries);
  }
  return g_helper_outcome;
}

TEST_F(CrashEntries, StackOverflowFollowsTheRulesOfEveryCrashAndTheAnswerStands) {
  enum Setup { kPlain, kNotStarted, kCaptureOff, kIgnored, kAlreadyReported, kHostFrameTakesIt, kHostMainFrame };
  constexpr OverflowPass kVec = OverflowPass::kVectored;
  constexpr OverflowPass kTop = OverflowPass::kTopLevel;
  constexpr OverflowDispatch kOn = OverflowDispatch::kGoesOn;
  constexpr OverflowDispatch kStops = OverflowDispatch::kStopsHere;
  constexpr HelperOutcome kDone = HelperOutcome::kDone;
  static const struct {
    const char* what;
    Setup setup;
    bool veh;
    OverflowPass pass;
    OverflowDispatch dispatch;
    HelperOutcome helper;
    long host_answer;
    bool helper_asked;
    std::vector<int32_t> sent_kinds;
    bool host_filter_runs;
    long answer;
    bool end_process;
  } kCases[] = {
      {"not started: the vectored pass leaves it to the system", kNotStarted, true, kVec, kStops, kDone, 0, false, {},
       false, 0, false},
      {"not started: the top-level filter lets the system end it", kNotStarted, false, kTop, kOn, kDone, 0, true, {},
       false, 1, false},
      {"capture off: nothing happens where the dispatch stops", kCaptureOff, false, kVec, kStops, kDone, 1, true, {},
       false, 0, false},
      {"capture off: the top-level filter only chains", kCaptureOff, false, kTop, kOn, kDone, 0, true, {}, true, 0,
       false},
      {"vectored switch off: the host's frame handlers come next", kPlain, false, kVec, kOn, kDone, 0, true, {},
       false, 0, false},
      {"vectored switch off, unhandled, host filter continues the search", kPlain, false, kTop, kOn, kDone, 0, true,
       {2}, true, 0, false},
      {"vectored switch off, unhandled, host filter executes the handler", kPlain, false, kTop, kOn, kDone, 1, true,
       {2}, true, 1, false},
      {"vectored switch on: reported first-chance, the search goes on", kPlain, true, kVec, kOn, kDone, 0, true, {1},
       false, 0, false},
      {"dispatch stops: the filter decides in the vectored pass, search answer", kPlain, false, kVec, kStops, kDone, 0,
       true, {2}, true, 0, true},
      {"dispatch stops: host filter executes the handler", kPlain, false, kVec, kStops, kDone, 1, true, {2}, true, 0,
       true},
      {"dispatch stops: host filter continues execution, which stands", kPlain, false, kVec, kStops, kDone, -1, true,
       {2}, true, -1, false},
      {"dispatch stops, vectored switch on: one report, the filter finds it sent", kPlain, true, kVec, kStops, kDone, 0,
       true, {1}, true, 0, true},
      {"ignored module, vectored pass where the dispatch stops", kIgnored, true, kVec, kStops, kDone, 1, true, {},
       false, 0, true},
      {"ignored module, top-level filter: left to the system", kIgnored, false, kTop, kOn, kDone, 1, true, {}, false, 0,
       false},
      {"dispatch stops, the host's own __except takes it: left to the system", kHostFrameTakesIt, false, kVec, kStops,
       kDone, 1, true, {}, false, 0, false},
      {"dispatch stops, the host's own __except takes it, vectored switch on: reported first-chance only",
       kHostFrameTakesIt, true, kVec, kStops, kDone, 1, true, {1}, false, 0, false},
      {"dispatch stops, the host's own __except on its main thread: unhandled in effect", kHostMainFrame, false, kVec,
       kStops, kDone, 1, true, {2}, true, 0, true},
      {"Windows: the host's frames are the system's to walk", kHostFrameTakesIt, false, kVec, kOn, kDone, 1, true, {},
       false, 0, false},
      {"already reported: no second report, the host still answers", kAlreadyReported, false, kVec, kStops, kDone, -1,
       true, {}, true, -1, false},
      {"helper late where the dispatch stops: the process ends", kPlain, false, kVec, kStops, HelperOutcome::kLate, 0,
       true, {}, false, 0, true},
      {"helper late on Windows: the search goes on", kPlain, false, kVec, kOn, HelperOutcome::kLate, 0, true, {},
       false, 0, false},
      {"helper late in the top-level filter: the handler runs", kPlain, false, kTop, kOn, HelperOutcome::kLate, 0,
       true, {}, false, 1, false},
      {"helper busy with another overflow: this thread is left to the system", kPlain, false, kVec, kStops,
       HelperOutcome::kBusy, 0, true, {}, false, 0, false},
      {"no helper, top-level filter", kPlain, false, kTop, kOn, HelperOutcome::kNoHelper, 0, true, {}, false, 1,
       false},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    g_helper_outcome = row.helper;
    g_helper_runs = 0;
    g_host_frame_takes_it = row.setup == kHostFrameTakesIt || row.setup == kHostMainFrame;
    g_on_main_thread = row.setup == kHostMainFrame;
    g_frame_queries = 0;
    g_host_filter_result = row.host_answer;
    StoreVehEnable(row.veh);
    IgnoredDllNames().Replace({"plugin.dll"});
    CHcSpyGlobal& context = CHcSpyGlobal::Instance();
    context.next_filter = &HostFilter;
    if (row.setup == kNotStarted) testing_hooks::ResetInitializedForTesting();
    if (row.setup == kCaptureOff) context.enabled = 0;
    if (row.setup == kIgnored) context.ignored_modules.Append("plugin.dll", 0x6000, 0x2000);
    if (row.setup == kAlreadyReported) context.RememberCrashAddress(0x7000);

    const OverflowAnswer answer =
        AnswerStackOverflow(row.pass, Fault(kStackOverflowCode, 0x7000), row.dispatch, &RunHere);
    EXPECT_EQ(answer.answer, row.answer);
    EXPECT_EQ(answer.end_process, row.end_process);
    EXPECT_EQ(g_helper_runs, row.helper_asked ? 1 : 0);
    EXPECT_EQ(World().uploaded_kinds, row.sent_kinds);
    EXPECT_EQ(World().dumped_threads, std::vector<uint32_t>(row.sent_kinds.size(), 4242))
        << "the dump names the faulting thread";
    EXPECT_EQ(g_host_filter_calls, row.host_filter_runs ? std::vector<_EXCEPTION_POINTERS*>{kPointers}
                                                        : std::vector<_EXCEPTION_POINTERS*>{});
    if (row.setup == kNotStarted) EXPECT_EQ(Occurrences(NewLog(), "Exception occured."), 0);
    // The host's frames are asked only where nothing else will ask them.
    const bool frames_asked = row.pass == kVec && row.dispatch == kStops && row.helper == kDone &&
                              row.setup != kNotStarted && row.setup != kCaptureOff;
    EXPECT_EQ(g_frame_queries, frames_asked ? 1 : 0);
  }
  g_helper_outcome = HelperOutcome::kDone;
}

}  // namespace
