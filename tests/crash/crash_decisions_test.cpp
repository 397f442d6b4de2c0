// The crash decisions as plain code: which codes count, the manual-report
// window, the marker file, the ignored-module table and its limit, the crash
// lock and the remembered addresses.

#include "crash/crash_decisions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "crash/crash_context.h"
#include "crash/crash_lock.h"
#include "crash/crash_log_match.h"
#include "crash/crash_options.h"
#include "crash/crash_test_fixture.h"
#include "crash/dump/dump_files.h"

namespace {

using namespace Vextra;
using vextra_test::CrashFixture;
using vextra_test::InOrder;
using vextra_test::Occurrences;
using vextra_test::World;

class CrashDecisions : public CrashFixture {};

TEST_F(CrashDecisions, ExceptionCodesInTheirOrderOfTests) {
  static constexpr struct {
    const char* what;
    uint32_t code;
    bool veh;
    bool accepted;
    bool handled;
    int64_t seconds_since_last;
    bool want;
    bool logs_window_line;
  } kCases[] = {
      {"access violation", 0xC0000005, true, false, false, 0, true, false},
      {"stack overflow, VEH off", 0xC00000FD, false, false, false, 0, true, false},
      {"success severity", 0x00001234, true, false, false, 0, false, false},
      {"informational severity", 0x40010006, true, false, false, 0, false, false},
      {"accepted success code", 0x00004000, true, true, false, 0, true, false},
      {"accepted informational code", 0x40010006, true, true, false, 0, true, false},
      {"fatal application exit", 0x40000015, true, false, false, 0, true, false},
      {"manual, nothing handled yet", 0x6000AAAA, true, false, false, 0, true, true},
      {"manual, crash 31 s ago", 0x6000AAAA, true, false, true, 31, true, true},
      {"manual, crash 30 s ago", 0x6000AAAA, true, false, true, 30, false, false},
      {"manual, crash just now", 0x6000AAAA, true, false, true, 0, false, false},
      {"breakpoint, VEH on", 0x80000003, true, false, false, 0, false, false},
      {"breakpoint, VEH off", 0x80000003, false, false, false, 0, true, false},
      {"single step, VEH on", 0x80000004, true, false, false, 0, false, false},
      {"RPC failure 6BA", 0x800706BA, true, false, false, 0, false, false},
      {"RPC failure 6BF", 0x800706BF, true, false, false, 0, false, false},
      {"RPC failure 6B5", 0x800706B5, true, false, false, 0, false, false},
      {"RPC failure 6BE", 0x800706BE, true, false, false, 0, false, false},
      {"RPC failure 6BE, VEH off", 0x800706BE, false, false, false, 0, true, false},
      {"C++ throw, VEH on", 0xE06D7363, true, false, false, 0, false, false},
      {"C++ throw, VEH off", 0xE06D7363, false, false, false, 0, true, false},
      {"accepted C++ throw, VEH on", 0xE06D7363, true, true, false, 0, true, false},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    StoreVehEnable(row.veh);
    if (row.accepted) AddAcceptedCode(row.code);
    CHcSpyGlobal& context = CHcSpyGlobal::Instance();
    context.crash_handled = row.handled;
    context.last_crash_time = World().now - row.seconds_since_last;
    EXPECT_EQ(IsCrashExceptionCode(row.code), row.want);
    const std::string line = "Current time is " + std::to_string(World().now) + ", last error time is " +
                             std::to_string(World().now - row.seconds_since_last);
    EXPECT_EQ(Occurrences(NewLog(), line), row.logs_window_line ? 1 : 0) << NewLog();
  }
}

// The accepted-code set only grows: every code a host adds stays accepted,
// thousands included, and adding one twice changes nothing.
TEST_F(CrashDecisions, AcceptedCodesOnlyGrow) {
  for (int round = 0; round < 2; ++round) {
    for (uint32_t i = 0; i < 3000; ++i) AddAcceptedCode(0x100 + i);
  }
  for (uint32_t code : {0x100u, 0x100u + 64, 0x100u + 65, 0x100u + 2999}) {
    SCOPED_TRACE(code);
    EXPECT_TRUE(IsAcceptedCode(code));
  }
  EXPECT_FALSE(IsAcceptedCode(0x100 + 3000));
  EXPECT_EQ(Occurrences(NewLog(), "accepted exception codes full"), 0) << "3000 codes fit";
}

// Past the room set aside for them, a new code is not added, and the SDK log
// says so once; the codes already there stay accepted.
TEST_F(CrashDecisions, ACodePastTheRoomIsDroppedWithOneLogLine) {
  for (uint32_t i = 0; i < kAcceptedCodeCapacity; ++i) AddAcceptedCode(0x10000 + i);
  EXPECT_EQ(Occurrences(NewLog(), "accepted exception codes full"), 0);
  AddAcceptedCode(0xE0000001);
  AddAcceptedCode(0xE0000002);
  AddAcceptedCode(0x10000);  // already accepted: nothing to drop
  EXPECT_FALSE(IsAcceptedCode(0xE0000001));
  EXPECT_TRUE(IsAcceptedCode(0x10000));
  EXPECT_TRUE(IsAcceptedCode(0x10000 + kAcceptedCodeCapacity - 1));
  const std::string log = NewLog();
  EXPECT_EQ(Occurrences(log, "accepted exception codes full"), 1) << log;
  EXPECT_EQ(Occurrences(log, "0xe0000001 and later new codes are not added\n"), 1) << log;
}

TEST_F(CrashDecisions, CaptureEnabledLooksForTheMarkerOnlyInTheFirstSecond) {
  static constexpr struct {
    const char* what;
    int32_t enabled;
    int64_t age;
    bool marker;
    bool want;
    bool looks;
  } kCases[] = {
      {"switched off at exit", 0, 0, false, false, false},
      {"switched off, later", 0, 5, false, false, false},
      {"two seconds old, marker present", 1, 2, true, true, false},
      {"one second old, no marker", 1, 1, false, true, true},
      {"one second old, marker present", 1, 1, true, false, true},
      {"just created, marker present", 1, 0, true, false, true},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    CHcSpyGlobal& context = CHcSpyGlobal::Instance();
    context.ResetForTesting(World().now - row.age);
    // The host's path with this platform's separator ('\\' on Windows, '/' on Linux).
    const char sep = Vextra::dumpfs::kNarrowSep;
    const std::string games = std::string("C:") + sep + "Games" + sep + "Hexa" + sep;
    context.SetHostPath((games + "game.exe").c_str());
    context.enabled = row.enabled;
    World().marker_exists = row.marker;
    EXPECT_EQ(IsCaptureEnabled(), row.want);
    EXPECT_EQ(World().marker_asked, row.looks ? games + "HexaCubStat.ini" : "");
    const bool switched_off = row.enabled == 1 && !row.want;
    EXPECT_EQ(Occurrences(NewLog(), "HCSPY DO NOT WORK FOR CONFIG\n"), switched_off ? 1 : 0);
    if (row.enabled == 1 && !row.want) {
      // Once off, capture stays off, marker or not.
      World().marker_exists = false;
      EXPECT_FALSE(IsCaptureEnabled());
      EXPECT_EQ(context.enabled.load(), 0);
    }
  }
}

TEST(MarkerPath, DirectoryUpToTheLastBackslash) {
  static constexpr struct {
    const char* host;
    const char* want;
  } kCases[] = {
      {"C:\\game.exe", "C:\\HexaCubStat.ini"},
      {"D:\\a\\b\\c.exe", "D:\\a\\b\\HexaCubStat.ini"},
      {"game.exe", "\\HexaCubStat.ini"},
      {"", "\\HexaCubStat.ini"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.host);
    char path[kMarkerPathChars];
    BuildMarkerPath(row.host, path);
    EXPECT_STREQ(path, row.want);
  }
  // A directory longer than 259 characters is cut to 259.
  std::string host(300, 'x');
  host += "\\game.exe";
  char path[kMarkerPathChars];
  BuildMarkerPath(host.c_str(), path);
  EXPECT_EQ(std::string(path), std::string(259, 'x') + "\\HexaCubStat.ini");
}

TEST_F(CrashDecisions, IgnoredModuleBoundsAreStrict) {
  CHcSpyGlobal::Instance().ignored_modules.Append("a.dll", 0x10000, 0x1000);
  static constexpr struct {
    uintptr_t address;
    bool want;
  } kCases[] = {{0x10000, false}, {0x10001, true}, {0x10FFF, true}, {0x11000, false}, {0xFFFF, false}, {0, false}};
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.address);
    EXPECT_EQ(IsInIgnoredModule(row.address), row.want);
  }
}

TEST_F(CrashDecisions, EveryRefreshAppendsAgainUntilTheTableOverflows) {
  IgnoredDllNames().Replace({"FooHelper.DLL", "bar.dll"});
  World().modules = {{"game.exe", 0x1000, 0x100}, {"foohelper.dll", 0x20000, 0x500}, {"BAR.dll", 0x40000, 0x800},
                     {"bar.dll.old", 0x60000, 0x100}};
  for (int refresh = 1; refresh <= 16; ++refresh) vextra_test::FakeRefresh();
  const std::string sixteen = NewLog();
  EXPECT_EQ(CHcSpyGlobal::Instance().ignored_modules.Count(), 32u);
  EXPECT_EQ(Occurrences(sixteen, "IGNORE DLL BUF OVERLOAD!\n"), 0);
  EXPECT_EQ(Occurrences(sixteen, "Ignore dll name foohelper.dll\n"), 16);
  EXPECT_EQ(Occurrences(sixteen, "bar.dll.old"), 0);
  EXPECT_EQ(Occurrences(sixteen, "game.exe"), 0);
  EXPECT_TRUE(InOrder(sixteen, {"Ignore dll name foohelper.dll\n", "ADD IGNORE MODULE foohelper.dll base 0x",
                                "size 1280\n", "Ignore dll name BAR.dll\n", "ADD IGNORE MODULE BAR.dll base 0x",
                                "size 2048\n"}));

  vextra_test::FakeRefresh();
  const std::string seventeenth = NewLog().substr(sixteen.size());
  EXPECT_EQ(Occurrences(seventeenth, "IGNORE DLL BUF OVERLOAD!\n"), 2);
  EXPECT_EQ(Occurrences(seventeenth, "Ignore dll name"), 0);
  EXPECT_EQ(CHcSpyGlobal::Instance().ignored_modules.Count(), 32u);
  EXPECT_TRUE(IsInIgnoredModule(0x40001));
}

TEST_F(CrashDecisions, IgnoredModuleNamesAreCutTo255Characters) {
  const std::string long_name(300, 'm');
  IgnoredDllNames().Replace({long_name});
  OfferLoadedModule(long_name.substr(0, 255).c_str(), 0x5000, 0x10);
  ASSERT_EQ(CHcSpyGlobal::Instance().ignored_modules.Count(), 1u);
  EXPECT_EQ(std::string(CHcSpyGlobal::Instance().ignored_modules.Entry(0).name), long_name.substr(0, 255));
}

TEST(CrashLock, TriedOnlyRecursiveForItsHolderRefusedToOthers) {
  CrashLock lock;
  ASSERT_TRUE(lock.TryLock(7));
  ASSERT_TRUE(lock.TryLock(7));  // a second fault on the same thread
  bool other = true;
  std::thread([&] { other = lock.TryLock(8); }).join();
  EXPECT_FALSE(other);
  lock.Unlock();
  std::thread([&] { other = lock.TryLock(8); }).join();
  EXPECT_FALSE(other) << "still held once by thread 7";
  lock.Unlock();
  EXPECT_TRUE(lock.TryLock(8));
  lock.Unlock();
}

// The wait for another crashing thread on the fake clock, whose sleeps last
// whole 16 ms timer ticks: the deadline is a time on the clock, not a count
// of 5 ms sleeps (which would stretch 60 s to over three minutes).
TEST_F(CrashDecisions, WaitForAnotherHolderEndsOnTheClockAndNotForAGoneHolderOrAtExit) {
  enum Holder { kNone, kSelf, kLive, kEnded };
  static constexpr struct {
    const char* what;
    Holder holder;
    int64_t release_after_ms;     // the holder lets go once the clock has moved this far; -1 never
    int64_t exit_after_ms;        // exit begins once the clock has moved this far; -1 never, 0 before
    CrashWaitEnd end;
    uint64_t min_ms, max_ms;      // the wait on the clock
  } kCases[] = {
      {"free lock", kNone, -1, -1, CrashWaitEnd::kReleased, 0, 0},
      {"held by the waiting thread itself", kSelf, -1, -1, CrashWaitEnd::kReleased, 0, 0},
      {"live holder lets go after 1 s", kLive, 1000, -1, CrashWaitEnd::kReleased, 1000, 1015},
      {"live holder that never lets go", kLive, -1, -1, CrashWaitEnd::kTimedOut, 60000, 60015},
      {"holder whose thread has ended", kEnded, -1, -1, CrashWaitEnd::kHolderGone, 0, 0},
      {"exit begun before the wait", kLive, -1, 0, CrashWaitEnd::kExitBegun, 0, 0},
      {"exit begins 2 s into the wait", kLive, -1, 2000, CrashWaitEnd::kExitBegun, 2000, 2015},
  };
  constexpr uint32_t kWaiter = 8;
  constexpr uint32_t kHolderId = 7;
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    CrashLock lock;
    std::atomic<int32_t> enabled{row.exit_after_ms == 0 ? 0 : 1};
    if (row.holder == kSelf) ASSERT_TRUE(lock.TryLock(kWaiter));
    if (row.holder == kLive || row.holder == kEnded) ASSERT_TRUE(lock.TryLock(kHolderId));
    if (row.holder == kEnded) World().ended_threads = {kHolderId};
    const uint64_t start = World().clock_ms;
    bool released = false;
    World().after_sleep = [&] {
      const uint64_t passed = World().clock_ms - start;
      if (row.release_after_ms >= 0 && !released && passed >= static_cast<uint64_t>(row.release_after_ms)) {
        lock.Unlock();
        released = true;
      }
      if (row.exit_after_ms > 0 && passed >= static_cast<uint64_t>(row.exit_after_ms)) enabled = 0;
    };
    EXPECT_EQ(lock.WaitWhileHeldByAnother(kWaiter, 60000, vextra_test::FakePlatform(), enabled), row.end);
    const uint64_t waited = World().clock_ms - start;
    EXPECT_GE(waited, row.min_ms);
    EXPECT_LE(waited, row.max_ms);
    World().after_sleep = nullptr;
  }
}

// The same four cases with real threads on the system's clock. Each holder
// holds the lock before the wait starts, and the one that lets go does so
// only once the waiter is sleeping in its wait.
TEST(CrashLock, WaitOnTheSystemClockWithRealHolderThreads) {
  enum Holder { kReleasesWhileWaited, kKeepsIt, kEnded, kKeepsItExitBegun };
  static constexpr struct {
    const char* what;
    Holder holder;
    uint32_t max_wait_ms;
    CrashWaitEnd end;
    int64_t min_ms, max_ms;
  } kCases[] = {
      {"live holder lets go 300 ms into the wait", kReleasesWhileWaited, 60000, CrashWaitEnd::kReleased, 300, 5000},
      // The platform clock counts whole milliseconds: the bound may end up to 1 ms early.
      {"live holder that never lets go, 400 ms bound", kKeepsIt, 400, CrashWaitEnd::kTimedOut, 399, 5000},
      {"holder whose thread has ended", kEnded, 60000, CrashWaitEnd::kHolderGone, 0, 5000},
      {"exit begun while a live holder keeps it", kKeepsItExitBegun, 60000, CrashWaitEnd::kExitBegun, 0, 5000},
  };
  static std::atomic<int> g_sleeps{0};
  static const CrashPlatform kCountingSleeps = [] {
    CrashPlatform platform = DefaultCrashPlatform();
    platform.sleep_ms = [](uint32_t ms) {
      g_sleeps.fetch_add(1);
      DefaultCrashPlatform().sleep_ms(ms);
    };
    return platform;
  }();
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    CrashLock lock;
    std::atomic<int32_t> enabled{row.holder == kKeepsItExitBegun ? 0 : 1};
    std::atomic<bool> holding{false};
    std::atomic<bool> finish{false};
    g_sleeps = 0;
    std::thread holder([&] {
      const bool took = lock.TryLock(DefaultCrashPlatform().thread_id());
      EXPECT_TRUE(took);
      holding = true;
      if (row.holder == kEnded) return;  // ends with the lock still held
      if (row.holder == kReleasesWhileWaited) {
        while (g_sleeps.load() == 0) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        lock.Unlock();
      }
      while (!finish) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (row.holder != kReleasesWhileWaited) lock.Unlock();
    });
    while (!holding) std::this_thread::yield();
    if (row.holder == kEnded) holder.join();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lock.WaitWhileHeldByAnother(DefaultCrashPlatform().thread_id(), row.max_wait_ms, kCountingSleeps,
                                          enabled),
              row.end);
    const int64_t waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    finish = true;
    if (holder.joinable()) holder.join();
    EXPECT_GE(waited, row.min_ms);
    EXPECT_LT(waited, row.max_ms);
  }
}

TEST(CrashLock, ManyThreadsTryingAtOnceGetItOneAtATime) {
  CrashLock lock;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> entries{0};
  std::vector<std::thread> threads;
  for (uint32_t id = 1; id <= 8; ++id) {
    threads.emplace_back([&, id] {
      for (int i = 0; i < 20000; ++i) {
        if (!lock.TryLock(id)) continue;
        if (inside.fetch_add(1) != 0) ++overlaps;
        ++entries;
        inside.fetch_sub(1);
        lock.Unlock();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(entries.load(), 0);
}

// The remembered addresses only grow: an address is sent once however many
// other crashes come after it.
TEST_F(CrashDecisions, RememberedAddressesOnlyGrowAndRefuseEveryRepeat) {
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  EXPECT_TRUE(context.RememberCrashAddress(0x1234));
  EXPECT_FALSE(context.RememberCrashAddress(0x1234));
  for (uintptr_t a = 1; a <= 3000; ++a) ASSERT_TRUE(context.RememberCrashAddress(0x100000 + a)) << a;
  for (uintptr_t a : {uintptr_t{0x1234}, uintptr_t{0x100001}, uintptr_t{0x100000 + 257}, uintptr_t{0x100000 + 3000}}) {
    SCOPED_TRACE(a);
    EXPECT_FALSE(context.RememberCrashAddress(a)) << "remembered earlier: never sent again";
  }
  EXPECT_EQ(Occurrences(NewLog(), "crash address list full"), 0);
}

// Past the room set aside at load, a new address is still sent but not
// remembered, said once in the SDK log; the remembered ones stay refused.
TEST_F(CrashDecisions, PastItsRoomTheAddressListStillRefusesWhatItHolds) {
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  for (uintptr_t a = 0; a < kRememberedAddressCapacity; ++a) ASSERT_TRUE(context.RememberCrashAddress(0x7000 + a));
  EXPECT_EQ(Occurrences(NewLog(), "crash address list full"), 0);
  EXPECT_TRUE(context.RememberCrashAddress(0x1));  // new: sent
  EXPECT_TRUE(context.RememberCrashAddress(0x2));
  EXPECT_FALSE(context.RememberCrashAddress(0x7000));
  EXPECT_FALSE(context.RememberCrashAddress(0x7000 + kRememberedAddressCapacity - 1));
  const std::string log = NewLog();
  EXPECT_EQ(Occurrences(log, "crash address list full"), 1) << log;
  EXPECT_EQ(Occurrences(log, "later new addresses are sent but not remembered\n"), 1) << log;
}

}  // namespace
