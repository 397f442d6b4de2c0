#pragma once
// A fixture for the crash decisions and entries: a fresh crash context, fake
// platform calls (clock, thread id, marker file, module refresh), a recording
// dump sink, and the SDK log lines written by each test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/crash_context.h"
#include "crash/crash_dump_sink.h"
#include "crash/crash_decisions.h"
#include "crash/crash_options.h"
#include "crash/crash_platform.h"
#include "crash/ignored_modules.h"
#include "crash/prepared_crash_guid.h"
#include "crash/send_exception.h"
#include "log/sdk_log.h"
#include "platform/text_encoding.h"

namespace vextra_test {

struct LoadedModule {
  std::string name;
  uintptr_t base;
  uint32_t size;
};

struct FakeCrashWorld {
  int64_t now = 1'700'000'000;
  uint32_t thread_id = 4242;
  bool marker_exists = false;
  std::string marker_asked;
  std::vector<LoadedModule> modules;  // what a refresh finds
  int refreshes = 0;
  // The monotonic clock, moved only by sleeps: each lasts whole ticks of a
  // coarse system timer (15.6 ms on Windows), never less than asked.
  uint64_t clock_ms = 5'000'000;
  uint32_t timer_tick_ms = 16;
  int sleeps = 0;
  std::function<void()> after_sleep;  // runs after each sleep, on the sleeping thread
  std::vector<uint32_t> ended_threads;  // ids whose thread no longer exists
  // The sink's record.
  int dump_dirs = 0;
  std::vector<uint32_t> dumped_threads;
  std::vector<bool> guid_waiting_at_dump;  // a next crash GUID was already made when the dump was written
  std::vector<std::string> uploaded_guids;
  std::vector<int32_t> uploaded_kinds;
};

inline FakeCrashWorld& World() {
  static FakeCrashWorld world;
  return world;
}

bool FakeRefresh();

inline const Vextra::CrashPlatform& FakePlatform() {
  static const Vextra::CrashPlatform platform{
      [] { return World().now; },
      [] { return World().thread_id; },
      [](const char* path) {
        World().marker_asked = path;
        return World().marker_exists;
      },
      &FakeRefresh,
      [] { return World().clock_ms; },
      [](uint32_t milliseconds) {
        FakeCrashWorld& world = World();
        const uint32_t ticks = (milliseconds + world.timer_tick_ms - 1) / world.timer_tick_ms;
        world.clock_ms += static_cast<uint64_t>(ticks == 0 ? 1 : ticks) * world.timer_tick_ms;
        ++world.sleeps;
        if (world.after_sleep) world.after_sleep();
      },
      [](uint32_t thread_id) {
        const std::vector<uint32_t>& ended = World().ended_threads;
        return std::find(ended.begin(), ended.end(), thread_id) == ended.end();
      },
  };
  return platform;
}

inline const Vextra::CrashDumpSink& RecordingSink() {
  static const Vextra::CrashDumpSink sink{
      [](wchar_t (&dir)[260]) {
        ++World().dump_dirs;
        dir[0] = L'd';
        return true;
      },
      nullptr,
      [](const wchar_t*, const char* guid, int32_t kind, bool into_dump_dir) {
        World().uploaded_guids.push_back(guid);
        World().uploaded_kinds.push_back(kind);
        return int32_t{0};
      },
      [](_EXCEPTION_POINTERS*, uint32_t thread_id, wchar_t (&path)[260]) {
        World().dumped_threads.push_back(thread_id);
        Vextra::platform::Guid waiting;
        World().guid_waiting_at_dump.push_back(Vextra::testing_hooks::PeekPreparedCrashGuid(&waiting));
        path[0] = L'p';
      },
  };
  return sink;
}

class CrashFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    World() = FakeCrashWorld{};
    Vextra::CHcSpyGlobal::Instance().ResetForTesting(World().now - 100);
    Vextra::testing_hooks::ResetCrashOptionsForTesting();
    Vextra::IgnoredDllNames().Replace({});
    Vextra::testing_hooks::SetCrashPlatformForTesting(&FakePlatform());
    Vextra::testing_hooks::SetCrashDumpSinkForTesting(&RecordingSink());
    Vextra::MarkInitialized();
    Vextra::SetDebugMode(true);
    Vextra::LogDebug("-- test --\n");
    log_start_ = LogText().size();
  }
  void TearDown() override {
    Vextra::testing_hooks::SetCrashPlatformForTesting(nullptr);
    Vextra::testing_hooks::SetCrashDumpSinkForTesting(nullptr);
    Vextra::testing_hooks::ResetCrashOptionsForTesting();
    Vextra::SetDebugMode(false);
  }

  static std::string LogText() {
    std::ifstream in(Vextra::platform::WideToUtf8(Vextra::SdkLog::Instance().FilePath()), std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  }
  // The log lines written since the test began, each without its time prefix.
  std::string NewLog() const { return LogText().substr(log_start_); }
  size_t log_start_ = 0;
};

inline bool FakeRefresh() {
  ++World().refreshes;
  for (const LoadedModule& module : World().modules) Vextra::OfferLoadedModule(module.name.c_str(), module.base, module.size);
  return true;
}

}  // namespace vextra_test
