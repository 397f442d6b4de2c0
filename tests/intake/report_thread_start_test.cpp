// Starting the report threads: both start or neither serves the queues.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "intake/report_semaphore.h"
#include "intake/report_threads.h"

namespace {

TEST(ReportThreadStart, WhenTheSecondThreadCannotStartTheFirstEndsUnusedAndNothingIsReleased) {
  std::function<void()> firstBody;
  int launches = 0;
  const Vextra::ThreadLauncher failSecond = [&](std::function<void()> body) {
    if (++launches == 1) {
      firstBody = std::move(body);  // run below, on a thread the test joins
      return true;
    }
    return false;
  };
  bool released = false;
  bool beforeQueueRan = false;
  const int32_t startsBefore = Vextra::ReportThreadStarts();
  const int32_t waitingBefore = Vextra::PreprocessSemaphore().Count();
  Vextra::PreprocessSemaphore().Release();  // a report queued meanwhile

  EXPECT_FALSE(Vextra::StartReportThreads([&] { released = true; }, [&] { beforeQueueRan = true; }, failSecond));
  EXPECT_EQ(launches, 2);
  EXPECT_FALSE(released);
  EXPECT_EQ(Vextra::ReportThreadStarts(), startsBefore);

  // The first thread's body returns at once instead of serving the queue.
  ASSERT_TRUE(firstBody);
  std::packaged_task<void()> run(firstBody);
  std::future<void> done = run.get_future();
  std::thread thread(std::move(run));
  const bool ended = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!ended) Vextra::PreprocessSemaphore().Release();  // let it go on so the thread can be left behind
  thread.detach();
  EXPECT_TRUE(ended) << "the first thread went on to serve the queue";
  EXPECT_FALSE(beforeQueueRan);
  // The queued report's wake-up is still there for the threads of a later start.
  EXPECT_EQ(Vextra::PreprocessSemaphore().Count(), waitingBefore + 1);
  Vextra::PreprocessSemaphore().Acquire();
}

TEST(ReportThreadStart, WhenTheFirstThreadCannotStartNoSecondIsTried) {
  int launches = 0;
  bool released = false;
  EXPECT_FALSE(Vextra::StartReportThreads([&] { released = true; }, nullptr, [&](std::function<void()>) {
    ++launches;
    return false;
  }));
  EXPECT_EQ(launches, 1);
  EXPECT_FALSE(released);
}

}  // namespace
