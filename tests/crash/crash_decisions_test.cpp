// The crash decisions as plain code: which codes count, the manual-report
// window, the marker file, the ignored-module table and its limit, the crash
// lock and the remembered addresses.

#include "crash/crash_decisions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "crash/crash_context.h"
#include "crash/crash_lock.h"
#include "crash/crash_log_match.h"
#include "crash/crash_options.h"
#include "crash/crash_test_fixture.h"

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

TEST_F(CrashDecisions, AcceptedCodesAreStoredOnceAndTheTableStopsWhenFull) {
  for (int round = 0; round < 2; ++round) {
    for (uint32_t i = 0; i < kAcceptedCodeCapacity + 5; ++i) AddAcceptedCode(0x100 + i);
  }
  EXPECT_TRUE(IsAcceptedCode(0x100));
  EXPECT_TRUE(IsAcceptedCode(0x100 + kAcceptedCodeCapacity - 1));
  EXPECT_FALSE(IsAcceptedCode(0x100 + kAcceptedCodeCapacity));
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
    context.SetHostPath("C:\\Games\\Hexa\\game.exe");
    context.enabled = row.enabled;
    World().marker_exists = row.marker;
    EXPECT_EQ(IsCaptureEnabled(), row.want);
    EXPECT_EQ(World().marker_asked, row.looks ? "C:\\Games\\Hexa\\HexaCubStat.ini" : "");
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

TEST(CrashLock, WaitingForAnotherHolderIsBoundedAndNeverForOneself) {
  CrashLock lock;
  ASSERT_TRUE(lock.TryLock(7));
  EXPECT_TRUE(lock.WaitWhileHeldByAnother(7, 0)) << "its own holder never waits";
  bool let_go_in_time = true;
  std::thread([&] { let_go_in_time = lock.WaitWhileHeldByAnother(8, 50); }).join();
  EXPECT_FALSE(let_go_in_time) << "a holder that never lets go ends the wait at its bound";
  lock.Unlock();
  EXPECT_TRUE(lock.WaitWhileHeldByAnother(8, 0));
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

TEST_F(CrashDecisions, RememberedAddressesRefuseRepeatsAndKeepTheNewestWhenFull) {
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  EXPECT_TRUE(context.RememberCrashAddress(0x1234));
  EXPECT_FALSE(context.RememberCrashAddress(0x1234));
  EXPECT_TRUE(context.RememberCrashAddress(0x5678));
  for (uintptr_t a = 1; a <= kRememberedAddressCapacity - 2; ++a) EXPECT_TRUE(context.RememberCrashAddress(0x100000 + a));
  EXPECT_FALSE(context.RememberCrashAddress(0x1234)) << "the table is full, nothing dropped yet";
  EXPECT_TRUE(context.RememberCrashAddress(0x9999));  // overwrites the oldest, 0x1234
  EXPECT_FALSE(context.RememberCrashAddress(0x5678));
  EXPECT_FALSE(context.RememberCrashAddress(0x9999));
  EXPECT_TRUE(context.RememberCrashAddress(0x1234));
}

}  // namespace
