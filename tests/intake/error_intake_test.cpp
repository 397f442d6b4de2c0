// Error intake: the interval rule as a pure decision, the record the intake
// builds, the queues and recorded store, and the synchronous and asynchronous
// paths of ReportError with a test clock and a recording sender. No report
// thread runs in this program, so asynchronous records stay where the intake
// put them.

#include "intake/error_intake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/process_flags.h"
#include "intake/exception_manager.h"
#include "intake/report_semaphore.h"
#include "intake/stack_digest.h"

namespace {

using Vextra::ErrorInfo;
using Vextra::ExceptionManager;

TEST(SyncReportInterval, DecisionTable) {
  struct Case {
    const char* what;
    int64_t now;
    int32_t lastEnd;
    bool allowed;
  };
  const Case cases[] = {
      {"first report after start", 1700000000, 0, true},
      {"same second as the last upload's end", 1000, 1000, false},
      {"4 s after the end", 1004, 1000, false},
      {"5 s after the end", 1005, 1000, true},
      {"an hour later", 4600, 1000, true},
      {"clock set back by 1 s", 999, 1000, false},
      {"clock set back a day", 1000 - 86400, 1000, false},
      {"back, then again 5 s past the stored time", 1005, 1000, true},
      {"seconds past 2038 against a time before", int64_t{0x80000002}, 0x7FFFFFFD, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Vextra::SyncReportAllowed(c.now, c.lastEnd), c.allowed);
  }
}

TEST(StackDigest, IsUpperCaseMd5OfTheWholeText) {
  EXPECT_EQ(Vextra::StackDigest(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(Vextra::StackDigest("abc"), "900150983CD24FB0D6963F7D28E17F72");
  // Bytes after an embedded zero count too.
  EXPECT_NE(Vextra::StackDigest(std::string("a\0b", 3)), Vextra::StackDigest("a"));
}

TEST(MakeErrorInfo, CopiesFieldsAndAppliesTheLimits) {
  const std::string below(1048575, 'x');  // 0x100000 - 1
  const std::string at(1048576, 'x');
  ErrorInfo kept = Vextra::MakeErrorInfo(7, "Name", "Message", "a.lua:1", below.c_str(), L"C:/logs/game.log");
  EXPECT_EQ(kept.type, 7);
  EXPECT_EQ(kept.name, "Name");
  EXPECT_EQ(kept.message, "Message");
  EXPECT_EQ(kept.stack, "a.lua:1");
  EXPECT_EQ(kept.extraInfo.size(), below.size());
  EXPECT_FALSE(kept.isEmpty);
  EXPECT_EQ(kept.count, 0);
  EXPECT_EQ(kept.logPath, L"C:/logs/game.log");
  EXPECT_EQ(kept.stackDigest, Vextra::StackDigest("a.lua:1"));

  ErrorInfo dropped = Vextra::MakeErrorInfo(7, "Name", "Message", "", at.c_str(), nullptr);
  EXPECT_TRUE(dropped.extraInfo.empty());
  EXPECT_EQ(dropped.message, "Message");  // the rest of the report goes on
  EXPECT_TRUE(dropped.logPath.empty());
  EXPECT_EQ(dropped.stackDigest, "D41D8CD98F00B204E9800998ECF8427E");

  const std::wstring long_path(400, L'p');
  ErrorInfo cut = Vextra::MakeErrorInfo(0, "", "", "", "", long_path.c_str());
  EXPECT_EQ(cut.logPath, std::wstring(Vextra::kErrorLogPathChars - 1, L'p'));
}

TEST(ExceptionManager, QueuesAreFirstInFirstOutAndEmptyPopsGiveADefaultRecord) {
  ExceptionManager manager;
  EXPECT_TRUE(manager.PopPreProcess().isEmpty);
  EXPECT_TRUE(manager.PopProcessing().isEmpty);
  for (int i = 0; i < 3; ++i) {
    ErrorInfo info = Vextra::MakeErrorInfo(i, "n", std::to_string(i).c_str(), "s", "", nullptr);
    manager.PushPreProcess(info);
    manager.PushProcessing(info);
  }
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(manager.PopPreProcess().message, std::to_string(i));
    EXPECT_EQ(manager.PopProcessing().message, std::to_string(i));
  }
  EXPECT_TRUE(manager.PopPreProcess().isEmpty);
}

TEST(ExceptionManager, RecordedStoreKeepsOneEntryPerDigestAndStampsIt) {
  ExceptionManager manager;
  ErrorInfo first = Vextra::MakeErrorInfo(1, "n", "first", "same stack", "", nullptr);
  ErrorInfo second = Vextra::MakeErrorInfo(1, "n", "second", "same stack", "", nullptr);
  first.count = 2;  // the first values of a digest stay
  manager.PushRecorded(first);
  manager.PushRecorded(second);
  EXPECT_EQ(manager.RecordedSize(), 1u);
  Vextra::RecordedEntry stored;
  ASSERT_TRUE(manager.FindRecorded(first.stackDigest, &stored));
  EXPECT_EQ(stored.count, 2);
  EXPECT_EQ(manager.UpdateRecorded(first.stackDigest, 111, -first.count), 1);
  EXPECT_EQ(manager.UpdateRecorded(second.stackDigest, 222, -second.count), 1);
  ASSERT_TRUE(manager.FindRecorded(first.stackDigest, &stored));
  EXPECT_EQ(stored.lastProcessedTime, 222);
  EXPECT_EQ(stored.count, 0);
  EXPECT_EQ(manager.UpdateRecorded("unknown digest", 1, 1), -1);
  EXPECT_EQ(manager.UpdateRecorded(first.stackDigest, 5, 3), 1);
  ASSERT_TRUE(manager.FindRecorded(first.stackDigest, &stored));
  EXPECT_EQ(stored.count, 3);
}

TEST(ReportSemaphore, RemembersEveryReleaseMadeBeforeTheWait) {
  Vextra::ReportSemaphore semaphore;
  EXPECT_FALSE(semaphore.TryAcquireFor(std::chrono::milliseconds(1)));
  semaphore.Release();
  semaphore.Release();
  EXPECT_TRUE(semaphore.TryAcquireFor(std::chrono::milliseconds(0)));
  semaphore.Acquire();
  EXPECT_EQ(semaphore.Count(), 0);
}

// ReportError with a clock the test moves and a sender that records what it
// was given; the sender can make an upload take time on the test clock.
class ReportErrorTest : public testing::Test {
 protected:
  void SetUp() override {
    Vextra::MarkInitialized();
    Vextra::testing_hooks::SetLastSyncReportTimeForTesting(0);
    Vextra::testing_hooks::SetIntakeClockForTesting([this] { return now_; });
    Vextra::testing_hooks::SetSyncSenderForTesting([this](const ErrorInfo& info) {
      sent_.push_back(info.message);
      now_ += uploadSeconds_;
      return 200;
    });
    Drain();
  }
  void TearDown() override {
    Vextra::testing_hooks::SetIntakeClockForTesting(nullptr);
    Vextra::testing_hooks::SetSyncSenderForTesting(nullptr);
    Drain();
  }

  static void Drain() {
    while (!ExceptionManager::Instance().PopPreProcess().isEmpty) {
    }
    while (Vextra::PreprocessSemaphore().TryAcquireFor(std::chrono::milliseconds(0))) {
    }
  }

  static void Report(const char* message, bool asynchronous) {
    Vextra::ReportError(107, "ScriptError", message, "main.lua:12", "{}", asynchronous, nullptr);
  }

  int64_t now_ = 1700000000;
  int64_t uploadSeconds_ = 0;
  std::vector<std::string> sent_;
};

TEST_F(ReportErrorTest, SynchronousIntervalCountsFromTheEndOfThePreviousUpload) {
  uploadSeconds_ = 30;  // a slow exchange
  Report("first", false);
  EXPECT_EQ(Vextra::testing_hooks::LastSyncReportTimeForTesting(), 1700000030);
  uploadSeconds_ = 0;
  now_ += 4;
  Report("4 s after the end", false);
  now_ += 1;
  Report("5 s after the end", false);
  EXPECT_EQ(sent_, (std::vector<std::string>{"first", "5 s after the end"}));
}

TEST_F(ReportErrorTest, AsynchronousReportsAreNeverRefusedAndQueueInOrder) {
  Report("sync", false);
  for (int i = 0; i < 10; ++i) Report(("async " + std::to_string(i)).c_str(), true);
  Report("refused sync", false);
  EXPECT_EQ(sent_, std::vector<std::string>{"sync"});
  EXPECT_EQ(Vextra::PreprocessSemaphore().Count(), 10);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    ErrorInfo info = ExceptionManager::Instance().PopPreProcess();
    EXPECT_EQ(info.message, "async " + std::to_string(i));
    EXPECT_EQ(info.stackDigest, Vextra::StackDigest("main.lua:12"));
  }
}

TEST_F(ReportErrorTest, NothingIsTakenBeforeStartOrWithANullText) {
  Vextra::testing_hooks::ResetInitializedForTesting();
  Report("too early", false);
  Report("too early", true);
  Vextra::MarkInitialized();
  const char* text = "x";
  const char* nulls[4][4] = {{nullptr, text, text, text}, {text, nullptr, text, text},
                             {text, text, nullptr, text}, {text, text, text, nullptr}};
  for (auto& args : nulls) {
    Vextra::ReportError(1, args[0], args[1], args[2], args[3], false, nullptr);
    Vextra::ReportError(1, args[0], args[1], args[2], args[3], true, nullptr);
  }
  EXPECT_TRUE(sent_.empty());
  EXPECT_EQ(ExceptionManager::Instance().PreProcessSize(), 0u);
  EXPECT_EQ(Vextra::PreprocessSemaphore().Count(), 0);
  EXPECT_EQ(Vextra::testing_hooks::LastSyncReportTimeForTesting(), 0);
}

}  // namespace
