// Start-up against a server that accepts connections and never answers: the
// start-up call returns while the re-send of stored bodies still waits on the
// server, reports made right after wait in their queue, and once the server
// answers they are delivered in order; no stored body is lost or sent twice.
//
// One process, one start-up: the library's threads cannot be undone.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/vextra_agent.h"
#include "core/common_info.h"
#include "core/process_flags.h"
#include "db/db_manager.h"
#include "db/raw_db.h"
#include "intake/error_intake.h"
#include "platform/text_encoding.h"
#include "report/file_manager.h"
#include "support/db_count.h"
#include "support/loopback_address.h"
#include "support/next_start.h"
#include "support/temp_dir.h"
#include "uploader/collector_process.h"
#include "vextra.h"

namespace {

using Vextra::CommonInfo;
using vextra_test::CountOf;
using vextra_test::WaitForCount;

// Listens on address:port, accepts every connection and holds it open
// without sending a byte, until Close.
class SilentListener {
 public:
  SilentListener(const std::string& address, int port) {
    // Close-on-exec: the collector started later must not inherit them.
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0 && listen(listener_, 16) == 0;
    if (listening_) acceptor_ = std::thread([this] { AcceptAll(); });
  }
  ~SilentListener() {
    StopListening();
    CloseConnections();
  }

  bool Listening() const { return listening_; }

  // Connections accepted so far.
  size_t Accepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
  }

  // Waits until at least count connections were accepted (or 30 s).
  bool WaitForAccepted(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Accepted() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Accepted() >= count;
  }

  // Whether every accepted connection is still open from the client's side.
  bool AllStillOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : held_) {
      char byte = 0;
      const ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    }
    return true;
  }

  // Closes the listening socket; accepted connections stay open.
  void StopListening() {
    if (listener_ < 0) return;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    listener_ = -1;
    if (acceptor_.joinable()) acceptor_.join();
  }

  void CloseConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : held_) close(fd);
    held_.clear();
  }

 private:
  void AcceptAll() {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;  // the listening socket was shut down
      std::lock_guard<std::mutex> lock(mutex_);
      held_.push_back(fd);
    }
  }

  int listener_ = -1;
  bool listening_ = false;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> held_;  // guarded by mutex_
};

TEST(StartUpNetwork, StartUpReturnsWhileTheServerHoldsTheReSendAndNothingIsLostOrSentTwice) {
  std::string why;
  if (vextra_test::CollectorProgram(&why).empty()) {
    ASSERT_FALSE(vextra_test::CollectorRequired()) << "required, but " << why;
    GTEST_SKIP() << why;
  }
  vextra_test::TempDir dir("vextra-startup-net");
  CommonInfo::Instance().SetWorkspace(dir.wpath(), true);
  Vextra::FileManager::Instance();
  const std::string address = vextra_test::LoopbackAddress(2);
  constexpr int kPort = 8443;
  VX_ConfigCrashServerUrl(("https://" + address + ":" + std::to_string(kPort)).c_str());
  CommonInfo::Instance().SetAppId("app-net");
  const std::filesystem::path records =
      Vextra::platform::WideToUtf8(Vextra::DbManager::DbFilePath(CommonInfo::Instance().GetDataDir()));

  // An earlier run with nothing listening: ten synchronous sends fail; each
  // leaves its data file and a failed record for the next start.
  Vextra::MarkInitialized();
  std::vector<std::string> stored;
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    const Vextra::ErrorInfo info =
        Vextra::MakeErrorInfo(6, "StoredError", ("stored " + std::to_string(i)).c_str(), "s.lua:6", "{}", nullptr);
    EXPECT_EQ(Vextra::SendErrorRecord(info), -1);
    vextra_test::RawDb db(records);
    const std::vector<std::string> row =
        db.Cells("SELECT PATH, STATUS, RETRY_COUNT FROM T_CRASH_RECORD ORDER BY ID DESC LIMIT 1");
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[1], "2");
    EXPECT_EQ(row[2], "1");
    EXPECT_TRUE(std::filesystem::exists(row[0]));
    stored.push_back(row[0]);
  }
  Vextra::testing_hooks::ResetInitializedForTesting();

  // Now the server takes the connections and never starts TLS.
  SilentListener silent(address, kPort);
  ASSERT_TRUE(silent.Listening());
  const auto begin = std::chrono::steady_clock::now();
  VX_InitWithAppId("app-net");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("VX_InitWithAppId returned after %.3f s with %zu stored bodies\n", seconds, stored.size());
  EXPECT_TRUE(Vextra::IsInitialized());
  // The re-send and the access-information request each hold a connection
  // the server keeps open: start-up returned while the re-send waits.
  ASSERT_TRUE(silent.WaitForAccepted(2));
  EXPECT_TRUE(silent.AllStillOpen());
  EXPECT_EQ(CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS=2 AND RETRY_COUNT=1"), 10);

  // Reports made right after wait in their queue behind the re-send.
  for (int i = 0; i < 3; ++i) {
    VX_ReportException(4, "AfterStart", ("after " + std::to_string(i)).c_str(), "a.lua:4", "{}", true, nullptr);
  }

  // The server answers again: the collector takes the address, then the held
  // connections close, which ends the pass at its first body.
  silent.StopListening();
  const std::filesystem::path work = dir.path() / "collector";
  std::filesystem::create_directories(work);
  vextra_test::CollectorProcess collector(address, work, {}, kPort);
  ASSERT_TRUE(collector.Started()) << collector.Error();
  silent.CloseConnections();

  EXPECT_EQ(WaitForCount(collector.DbPath(), "SELECT count(*) FROM reports WHERE expName='AfterStart'", 3, std::chrono::seconds(60)), 3);
  // The first stored body counted one more failure; the rest kept theirs.
  {
    vextra_test::RawDb db(records);
    EXPECT_EQ(db.Cell("SELECT STATUS || '/' || RETRY_COUNT FROM T_CRASH_RECORD WHERE PATH='" + stored[0] + "'"),
              "2/2");
    for (size_t i = 1; i < stored.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(db.Cell("SELECT STATUS || '/' || RETRY_COUNT FROM T_CRASH_RECORD WHERE PATH='" + stored[i] + "'"),
                "2/1");
    }
  }

  // The next start sends every stored body (its re-send run here, before Init returns).
  const auto next = vextra_test::NextStartSendingStoredBodiesFirst();
  ASSERT_TRUE(next->Init());
  EXPECT_EQ(CountOf(records, "SELECT count(*) FROM T_CRASH_RECORD WHERE STATUS<>1"), 0);
  ASSERT_TRUE(collector.Stop()) << collector.Error();

  vextra_test::RawDb seen(collector.DbPath());
  std::vector<std::string> want;
  for (int i = 0; i < 3; ++i) want.push_back("after " + std::to_string(i));
  EXPECT_EQ(seen.Cells("SELECT expMessage FROM reports WHERE expName='AfterStart' ORDER BY request_id"), want);
  std::map<std::string, int> arrivals;
  for (const std::string& message : seen.Cells("SELECT expMessage FROM reports WHERE expName='StoredError'")) {
    ++arrivals[message];
  }
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(arrivals["stored " + std::to_string(i)], 1);
  }
  EXPECT_EQ(arrivals.size(), 10u);
}

}  // namespace
