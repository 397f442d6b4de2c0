#pragma once
// Runs the reference collector (vextra-collector, a Linux program) for one
// group of upload tests: on its own loopback address, port 443 unless told
// otherwise, storing in "collector.db" of a working directory; it writes a
// ready file once it listens (so a port held by another collector is
// noticed) and is stopped through a stop file.
//
// Where the program is: the environment variable VEXTRA_COLLECTOR (a Linux
// path) or else the path the build compiled in (VEXTRA_COLLECTOR_PATH). On
// Linux it is started with posix_spawn; in the Windows build, running under
// Wine, it is started as a Unix program through CreateProcess, with its paths
// translated by Wine. Elsewhere no collector can run.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace vextra_test {

constexpr int kCollectorPort = 443;

class CollectorProcess {
 public:
  // Starts the collector on address:port with the extra arguments, its files
  // in workDir, and waits until it listens. Check Started().
  CollectorProcess(const std::string& address, const std::filesystem::path& workDir,
                   const std::vector<std::string>& args, int port = kCollectorPort);
  // Stops a collector that is still running.
  ~CollectorProcess();
  CollectorProcess(const CollectorProcess&) = delete;
  CollectorProcess& operator=(const CollectorProcess&) = delete;

  bool Started() const { return started_; }
  // Why it did not start or stop.
  const std::string& Error() const { return error_; }

  // Asks it to stop and waits until it has closed its database; true then.
  bool Stop();

  std::filesystem::path DbPath() const { return workDir_ / "collector.db"; }
  std::filesystem::path StopFile() const { return workDir_ / "collector.stop"; }
  std::filesystem::path ReadyFile() const { return workDir_ / "collector.ready"; }

 private:
  // Platform parts: start the program with its arguments (false with error_
  // set on failure); whether it has ended, where that can be seen; and, once
  // it was asked to stop, waiting for its end (ending it by force after a
  // while where the platform can).
  bool Launch(const std::string& program, const std::vector<std::string>& args);
  bool Exited();
  void Finish();

  std::string address_;
  std::filesystem::path workDir_;
  bool started_ = false;
  bool stopped_ = false;
  std::string error_;
  long long handle_ = -1;  // the child's process id where the platform has one
};

// The collector program as a path of the system it runs on, or "" when
// unknown; the reason goes to *why.
std::string CollectorProgram(std::string* why);

// Whether this run must have a collector (VEXTRA_REQUIRE_COLLECTOR=1), so
// that a test which cannot start one fails instead of being skipped.
inline bool CollectorRequired() {
  const char* required = std::getenv("VEXTRA_REQUIRE_COLLECTOR");
  return required != nullptr && std::string(required) == "1";
}

// A path of this program's file system as the collector (a Linux program)
// sees it; "" when it cannot be translated.
std::string CollectorSidePath(const std::filesystem::path& path);

inline CollectorProcess::CollectorProcess(const std::string& address, const std::filesystem::path& workDir,
                                          const std::vector<std::string>& args, int port)
    : address_(address), workDir_(workDir) {
  std::string why;
  const std::string program = CollectorProgram(&why);
  if (program.empty()) {
    error_ = why;
    return;
  }
  std::error_code ignored;
  std::filesystem::remove(StopFile(), ignored);
  std::filesystem::remove(ReadyFile(), ignored);
  const std::string db = CollectorSidePath(DbPath());
  const std::string stop = CollectorSidePath(StopFile());
  const std::string ready = CollectorSidePath(ReadyFile());
  if (db.empty() || stop.empty() || ready.empty()) {
    error_ = "cannot translate the working directory for the collector";
    return;
  }
  std::vector<std::string> all = {"--listen", address, "--port", std::to_string(port),
                                  "--db", db, "--stop-file", stop, "--ready-file", ready};
  all.insert(all.end(), args.begin(), args.end());
  if (!Launch(program, all)) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!std::filesystem::exists(ReadyFile()) && !Exited() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!std::filesystem::exists(ReadyFile())) {
    error_ = "the collector at " + program + " is not listening on " + address +
             " (address taken by another program?); see its output";
    Stop();
    return;
  }
  started_ = true;
}

inline CollectorProcess::~CollectorProcess() {
  if (handle_ != -1 && !stopped_) Stop();
}

inline bool CollectorProcess::Stop() {
  if (stopped_) return true;
  std::ofstream(StopFile()).put('\n');
  // The collector removes the stop file once its database is closed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::filesystem::exists(StopFile()) && !Exited() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // A collector that ended on its own (it could not listen) is stopped as well.
  stopped_ = !std::filesystem::exists(StopFile()) || Exited();
  Finish();
  std::error_code ignored;
  std::filesystem::remove(StopFile(), ignored);
  if (!stopped_ && error_.empty()) error_ = "the collector on " + address_ + " did not stop";
  return stopped_;
}

}  // namespace vextra_test
