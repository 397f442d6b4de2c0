// The settings store is read and written from any thread (host calls, the
// upload threads, the native log). Writers flip each value between two texts
// while readers check they only ever see one of the two; under ThreadSanitizer
// any field reached outside the store's lock is reported.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/common_info.h"

namespace Vextra {
namespace {

TEST(CommonInfoConcurrencyTest, ConcurrentWritersAndReadersSeeWholeValues) {
  CommonInfo& info = CommonInfo::Instance();
  info.ResetForTesting();
  const std::string texts[2] = {std::string(40, 'a'), std::string(300, 'b')};
  const std::wstring paths[2] = {L"/tmp/first", L"/tmp/second/directory"};
  constexpr int kRounds = 2000;
  std::atomic<int> torn{0};

  std::vector<std::thread> threads;
  for (int writer = 0; writer < 2; ++writer) {
    threads.emplace_back([&, writer] {
      for (int i = 0; i < kRounds; ++i) {
        const int pick = (i + writer) % 2;
        info.SetUserId(texts[pick]);
        info.SetDeviceId(texts[pick].c_str());
        info.SetStrategyJson(texts[pick]);
        info.SetWorkspace(paths[pick], pick == 1);
        info.SetLogLevel(pick);
        info.AddIgnoredDll(pick == 0 ? "first.dll" : "second.dll");
      }
    });
  }
  for (int reader = 0; reader < 2; ++reader) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        for (const std::string& value : {info.GetUserId(), info.GetDeviceId(), info.GetStrategyJson()}) {
          if (!value.empty() && value != texts[0] && value != texts[1]) ++torn;
        }
        const std::wstring workspace = info.GetWorkspace();
        if (!workspace.empty() && workspace != paths[0] + L"/lumaro" && workspace != paths[1] + L"/lumaro") ++torn;
        if (info.GetLogLevel() > 2) ++torn;
        (void)info.IsIgnoredDll("FIRST.DLL");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_TRUE(info.IsIgnoredDll("FIRST.DLL"));
  EXPECT_TRUE(info.IsIgnoredDll("SECOND.DLL"));
  info.ResetForTesting();
}

}  // namespace
}  // namespace Vextra
