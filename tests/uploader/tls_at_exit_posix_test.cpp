// A library thread inside TLS set-up while the host exits: OpenSSL's state
// must still be there, or the exiting host crashes in a freed lock.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "uploader/http_transport.h"

namespace Vextra {
namespace {

// Exits `delay` after the thread built its first client, so the runs meet it
// at different points of its work.
[[noreturn]] void ExitWhileAThreadBuildsTlsClients(std::chrono::microseconds delay) {
  std::atomic<bool> started{false};
  std::thread([&started] {
    for (;;) {
      auto transport = MakeTlsTransport("127.0.0.1");
      started = true;
    }
  }).detach();
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(delay);
  std::exit(0);
}

TEST(TlsAtExitTest, HostExitsCleanlyWhileALibraryThreadIsInsideOpenSsl) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int run = 0; run < 40; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EXIT(ExitWhileAThreadBuildsTlsClients(std::chrono::microseconds(125 * run)), ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace Vextra
