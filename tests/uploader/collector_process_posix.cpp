// Linux side of CollectorProcess (tests/uploader/collector_process.h): no
// tests here, only the process calls the upload tests need.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "uploader/collector_process.h"

extern char** environ;

namespace vextra_test {

std::string CollectorProgram(std::string* why) {
  if (const char* fromEnvironment = std::getenv("VEXTRA_COLLECTOR")) return fromEnvironment;
#ifdef VEXTRA_COLLECTOR_PATH
  return VEXTRA_COLLECTOR_PATH;
#else
  *why = "no collector program: set VEXTRA_COLLECTOR or build the tools";
  return "";
#endif
}

std::string CollectorSidePath(const std::filesystem::path& path) { return path.string(); }

bool CollectorProcess::Launch(const std::string& program, const std::vector<std::string>& args) {
  // The collector's lines go to this program's output, beside the test results.
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    error_ = "cannot start " + program;
    return false;
  }
  handle_ = pid;
  return true;
}

bool CollectorProcess::Exited() {
  if (handle_ == -1) return true;
  if (waitpid(static_cast<pid_t>(handle_), nullptr, WNOHANG) == static_cast<pid_t>(handle_)) handle_ = -1;
  return handle_ == -1;
}

void CollectorProcess::Finish() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!Exited() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!Exited()) {
    kill(static_cast<pid_t>(handle_), SIGKILL);
    waitpid(static_cast<pid_t>(handle_), nullptr, 0);
    handle_ = -1;
  }
}

}  // namespace vextra_test
