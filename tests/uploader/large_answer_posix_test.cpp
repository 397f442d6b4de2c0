// Linux only (the peak resident size comes from /proc): an answer of 400 MiB
// from the real collector costs the client little memory and the call returns.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/common_info.h"
#include "support/loopback_address.h"
#include "support/peak_memory_posix.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "uploader/report_builder.h"
#include "uploader/upload_task.h"

namespace {

using Vextra::StrategyManager;
using Vextra::StrategyMap;
using Vextra::UploadTask;

constexpr long kAnswerBytes = 400L * 1024 * 1024;
constexpr long kMaxGrowthKib = 16 * 1024;

TEST(LargeAnswerTest, FourHundredMebibyteAnswersAreLeftUnread) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) GTEST_SKIP() << why;
  vextra_test::TempDir dir{"vextra-large-answer"};
  const std::string address = vextra_test::LoopbackAddress(21);
  // The usual answer (with the strategy) comes first, then zero bytes.
  vextra_test::CollectorProcess collector(
      address, dir.path(), {"--answer-bytes", std::to_string(kAnswerBytes), "--strategy", "KEY_FROM_BIG=yes"});
  ASSERT_TRUE(collector.Started()) << collector.Error();
  Vextra::CommonInfo::Instance().ResetForTesting();
  Vextra::CommonInfo::Instance().SetServerUrl(address);

  std::vector<StrategyMap> saved;
  StrategyManager strategy([&](const StrategyMap& map) {
    saved.push_back(map);
    return true;
  });
  strategy.Update({});  // the start-up load, so the answer is stored

  // 840: the strategy is read from the start of the answer.
  {
    UploadTask task(Vextra::kCmdUserInfo, 0, Vextra::MakeTlsTransport(address), {nullptr, &strategy});
    int32_t result = 0;
    const long growth = vextra_test::PeakMemoryGrowthKib([&] { result = task.SendUserInfo(); });
    EXPECT_EQ(result, 200);
    EXPECT_LT(growth, kMaxGrowthKib);
    RecordProperty("user_info_growth_kib", static_cast<int>(growth));
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0], (StrategyMap{{"KEY_FROM_BIG", "yes"}}));
  }
  // A re-sent body: only the status counts, no byte of the answer is read.
  {
    UploadTask task(Vextra::kCmdReport, Vextra::kReportTypeCrash, Vextra::MakeTlsTransport(address));
    const std::string stored = "stored body";
    bool answered = false;
    const long growth = vextra_test::PeakMemoryGrowthKib(
        [&] { answered = task.SendRaw(stored.data(), static_cast<int32_t>(stored.size())); });
    EXPECT_TRUE(answered);
    EXPECT_LT(growth, kMaxGrowthKib);
    RecordProperty("report_growth_kib", static_cast<int>(growth));
  }
  ASSERT_TRUE(collector.Stop()) << collector.Error();
  Vextra::CommonInfo::Instance().ResetForTesting();
}

}  // namespace
